// Archive extraction: archives made by GNU tar in its three formats and by
// hand for what tar will not write (hostile names, odd sizes, truncation).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "mac_installer/UnTar.h"
#include "platform/Exception.h"

namespace fs = std::filesystem;
using test_support::gzipped;
using test_support::slurp;
using test_support::TemporaryDirectory;
using test_support::writeFile;

// Headers are written with designated initializers; the fields left out take
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Builds tar streams block by block.
class TarBuilder {
 public:
  struct Header {
    std::string name;
    char type = '0';
    std::string mode = "0000644";
    std::string linkName;
    std::string prefix;
    bool gnuMagic = false;
    bool noMagic = false;
    // Raw size field (12 bytes) when set, instead of the octal data length.
    std::string rawSize;
  };

  TarBuilder& add(const Header& h, const std::string& data = {}) {
    char block[512] = {};
    std::memcpy(block, h.name.data(), std::min<size_t>(h.name.size(), 100));
    std::snprintf(block + 100, 8, "%s", h.mode.c_str());
    std::snprintf(block + 108, 8, "0001750");
    std::snprintf(block + 116, 8, "0001750");
    if (h.rawSize.empty())
      std::snprintf(block + 124, 12, "%011llo", static_cast<unsigned long long>(data.size()));
    else
      std::memcpy(block + 124, h.rawSize.data(), std::min<size_t>(h.rawSize.size(), 12));
    std::snprintf(block + 136, 12, "%011o", 0);
    block[156] = h.type;
    std::memcpy(block + 157, h.linkName.data(), std::min<size_t>(h.linkName.size(), 100));
    if (!h.noMagic)
      std::memcpy(block + 257,
                  h.gnuMagic ? "ustar  "
                             : "ustar\0"
                               "00",
                  8);
    std::memcpy(block + 345, h.prefix.data(), std::min<size_t>(h.prefix.size(), 155));
    std::memset(block + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    std::snprintf(block + 148, 8, "%06o", sum);
    bytes_.append(block, 512);
    bytes_ += data;
    if (data.size() % 512) bytes_.append(512 - data.size() % 512, '\0');
    return *this;
  }
  TarBuilder& file(const std::string& name, const std::string& data, const std::string& mode = "0000644") {
    return add({.name = name, .mode = mode}, data);
  }
  TarBuilder& directory(const std::string& name) {
    return add({.name = name, .type = '5', .mode = "0000755"});
  }
  TarBuilder& link(const std::string& name, const std::string& target) {
    return add({.name = name, .type = '2', .mode = "0000777", .linkName = target});
  }
  TarBuilder& pax(const std::map<std::string, std::string>& records) {
    std::string data;
    for (const auto& [key, value] : records) {
      std::string body = " " + key + "=" + value + "\n";
      size_t length = body.size() + 1;
      while (std::to_string(length).size() + body.size() != length) ++length;
      data += std::to_string(length) + body;
    }
    return add({.name = "PaxHeaders/x", .type = 'x'}, data);
  }
  TarBuilder& end() {
    bytes_.append(1024, '\0');
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

struct Outcome {
  std::string log;
  std::vector<double> reports;
  UnTar::Result result;
};

class UnTarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dest());
    fs::create_directories(sibling());
    writeFile(sibling() + "/keep", "sibling data");
    oldMask_ = ::umask(022);
  }
  void TearDown() override { ::umask(oldMask_); }

  std::string path(const std::string& name) const { return dir_ / name; }
  std::string dest() const { return path("dest"); }
  std::string sibling() const { return path("sibling"); }
  std::string at(const std::string& name) const { return dest() + "/" + name; }

  static mode_t modeOf(const std::string& file) {
    struct stat st {};
    EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
    return st.st_mode & 07777;
  }
  static bool isLink(const std::string& file) {
    struct stat st {};
    return ::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
  static bool exists(const std::string& file) {
    struct stat st {};
    return ::lstat(file.c_str(), &st) == 0;
  }
  // Every path below root with its kind, mode, size, content or link target.
  static std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      struct stat st {};
      ::lstat(e.path().c_str(), &st);
      std::string what = std::to_string(st.st_mode & 0170777) + " ";
      if (S_ISLNK(st.st_mode))
        what += fs::read_symlink(e.path()).string();
      else if (S_ISREG(st.st_mode))
        what += slurp(e.path());
      out[fs::relative(e.path(), root).string()] = what;
    }
    return out;
  }

  std::string archive(const TarBuilder& tar, bool compress = true) {
    std::string file = path(compress ? "a.tar.gz" : "a.tar");
    writeFile(file, compress ? gzipped(tar.bytes()) : tar.bytes());
    return file;
  }

  Outcome extract(const std::string& file, std::int32_t length = 1000000) {
    Outcome run;
    testing::internal::CaptureStderr();
    run.result = UnTar::untar(
        file, dest(), length, [&](double p) { run.reports.push_back(p); }, resolution_);
    run.log = testing::internal::GetCapturedStderr();
    return run;
  }

  void tar(const std::string& arguments) {
    std::string command = "tar " + arguments + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  TemporaryDirectory dir_;
  mode_t oldMask_ = 0;
  platform::PathResolution resolution_ = platform::PathResolution::automatic;
};

// The same cases with either way of resolving paths beneath the destination.
class UnTarContainmentTest : public UnTarTest,
                             public ::testing::WithParamInterface<platform::PathResolution> {
 protected:
  void SetUp() override {
    UnTarTest::SetUp();
    resolution_ = GetParam();
  }
};

std::string resolutionName(const ::testing::TestParamInfo<platform::PathResolution>& info) {
  return info.param == platform::PathResolution::automatic ? "Kernel" : "ComponentWalk";
}

int openDescriptors() {
  int count = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (dirent* e = ::readdir(d)) count += e->d_name[0] != '.';
  ::closedir(d);
  return count;
}

// Archives written by GNU tar ---------------------------------------------------

class UnTarFormatTest : public UnTarTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(UnTarFormatTest, ExtractsTreeIdenticalToSource) {
  const std::string format = GetParam();
  fs::path src = path("src");
  fs::create_directories(src / "bin/nested");
  writeFile((src / "bin/tool").string(), "#!/bin/sh\necho hi\n");
  fs::permissions(src / "bin/tool", fs::perms(0755));
  writeFile((src / "readonly").string(), "ro");
  fs::permissions(src / "readonly", fs::perms(0444));
  writeFile((src / "empty").string(), "");
  writeFile((src / "odd").string(), std::string(513, 'x'));
  fs::create_symlink("tool", src / "bin/tool-link");
  fs::create_symlink("/etc/passwd", src / "bin/absolute-link");
  fs::create_symlink("../odd", src / "bin/nested/up-link");
  // 150 and 250 characters below the archive root, in 49-character
  // components, so the ustar prefix split can hold them.
  std::string part(49, 'p');
  std::string long150 = part + "/" + part + "/" + part + "p";
  std::string long250 = part + "/" + part + "/" + part + "/" + part + "/" + part + "q";
  ASSERT_EQ(long150.size(), 150u);
  ASSERT_EQ(long250.size(), 250u);
  fs::create_directories(src / fs::path(long150).parent_path());
  fs::create_directories(src / fs::path(long250).parent_path());
  writeFile((src / long150).string(), "one hundred fifty");
  writeFile((src / long250).string(), "two hundred fifty");
  // ustar has 100 bytes for a link target.
  if (format != "ustar") fs::create_symlink(std::string(150, 't'), src / "long-target-link");
  // A hard link: its entry is skipped, the file itself is extracted.
  writeFile((src / "hard").string(), "hard data");
  fs::create_hard_link(src / "hard", src / "hard2");

  tar("--format=" + format + " -C " + src.string() + " -czf " + path("a.tgz") + " .");
  Outcome run = extract(path("a.tgz"));
  EXPECT_EQ(run.log, "");

  fs::remove(src / "hard2");
  std::map<std::string, std::string> source = snapshot(src);
  std::map<std::string, std::string> result = snapshot(dest());
  bool hardLinkSkipped = result.erase("hard2") == 0;
  // The hard link's entry may come before or after its target: at most one is missing.
  EXPECT_TRUE(hardLinkSkipped || !result.count("hard"));
  result.erase("hard");
  source.erase("hard");
  // Read-only files gain owner write; everything else is as in the source.
  EXPECT_EQ(modeOf(at("readonly")), 0644);
  EXPECT_EQ(modeOf(at("bin/tool")), 0755);
  result.erase("readonly");
  source.erase("readonly");
  // Directories are created with default permissions, as the source has them here.
  EXPECT_EQ(result, source);

  ASSERT_GE(run.reports.size(), 2u);
  EXPECT_EQ(run.reports.front(), 0);
  EXPECT_EQ(run.reports.back(), 100);
}

INSTANTIATE_TEST_SUITE_P(Formats, UnTarFormatTest, ::testing::Values("gnu", "ustar", "pax"));

// The distribution's runtime links out of its tree, mostly to absolute paths
// under /etc: they must come out exactly as written.
TEST_F(UnTarTest, RuntimeLinksOutOfItsTreeExtractIdentically) {
  const std::string jdk = "/usr/lib/jvm/java-17-openjdk-amd64";
  if (!fs::is_directory(jdk + "/legal")) GTEST_SKIP() << "no runtime at " << jdk;
  tar("-C " + jdk + " -czf " + path("jdk.tgz") + " release conf legal lib/security");
  fs::create_directory(path("src"));
  tar("-C " + path("src") + " -xzf " + path("jdk.tgz"));
  Outcome run = extract(path("jdk.tgz"));
  EXPECT_EQ(run.log, "");
  EXPECT_EQ(snapshot(dest()), snapshot(path("src")));
  EXPECT_EQ(fs::read_symlink(at("lib/security/cacerts")), "/etc/ssl/certs/java/cacerts");
  EXPECT_EQ(fs::read_symlink(at("legal/java.sql/ASSEMBLY_EXCEPTION")), "../java.base/ASSEMBLY_EXCEPTION");
}

TEST_F(UnTarTest, PlainTarIsExtractedLikeCompressedOne) {
  TarBuilder t;
  t.directory("d/").file("d/f", "plain").end();
  Outcome run = extract(archive(t, false));
  EXPECT_EQ(run.log, "");
  EXPECT_EQ(slurp(at("d/f")), "plain");
}

// Progress -----------------------------------------------------------------------

TEST_F(UnTarTest, ReportsOncePerFileAndOnlyChangesWithinFile) {
  TarBuilder t;
  std::string big(200000, 'b');  // seven chunks
  t.file("a", "x").file("big", big).file("c", "").end();
  std::int32_t total = static_cast<std::int32_t>(t.bytes().size());
  Outcome run = extract(archive(t), total);
  ASSERT_EQ(run.log, "");
  // 0, one per file (3), one per changed chunk of a (1) and big (7), 100.
  EXPECT_GE(run.reports.size(), 3u + 2u);
  EXPECT_LE(run.reports.size(), 3u + 1u + 7u + 2u);
  EXPECT_EQ(run.reports.front(), 0);
  EXPECT_EQ(run.reports.back(), 100);
  for (size_t i = 1; i < run.reports.size(); ++i) EXPECT_GE(run.reports[i], run.reports[i - 1]);
  // Header of the first file read: 512 bytes of the stream, in single precision.
  EXPECT_DOUBLE_EQ(run.reports[1], static_cast<double>(512.0f / static_cast<float>(total) * 100.0f));
}

TEST_F(UnTarTest, PercentageExceedsHundredForLongerStreamAndIsZeroWithoutLength) {
  TarBuilder t;
  t.file("a", std::string(4000, 'a')).file("b", "b").end();
  Outcome longer = extract(archive(t), 1000);
  EXPECT_GT(longer.reports[longer.reports.size() - 2], 100);
  fs::remove_all(dest());
  fs::create_directory(dest());
  Outcome unknown = extract(archive(t), 0);
  for (size_t i = 0; i + 1 < unknown.reports.size(); ++i) EXPECT_EQ(unknown.reports[i], 0);
  EXPECT_EQ(unknown.reports.back(), 100);
}

TEST_F(UnTarTest, FailureRaisedInCallbackPassesOutAndKeepsWrittenFiles) {
  TarBuilder t;
  t.file("first", "1").file("second", std::string(100000, '2')).file("third", "3").end();
  std::string file = archive(t);
  int before = openDescriptors();
  int calls = 0;
  try {
    UnTar::untar(file, dest(), 1000000, [&](double) {
      // 0, first header and data, second header, second data.
      if (++calls == 5) throw platform::Exception("QuorvaneCancelled", "");
    });
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "QuorvaneCancelled");
  }
  // What was handed to the writer before the report is on disk.
  EXPECT_EQ(slurp(at("first")), "1");
  EXPECT_EQ(slurp(at("second")), std::string(100000, '2'));
  EXPECT_FALSE(exists(at("third")));
  EXPECT_EQ(openDescriptors(), before);
}

// Entry kinds and permissions -------------------------------------------------------

TEST_F(UnTarTest, AppliesPermissionBitsWithoutSpecialBits) {
  TarBuilder t;
  t.file("setuid", "s", "0004755").file("setgid", "g", "0002644").file("sticky", "t", "0001777");
  t.file("none", "n", "0000000").file("spaces", "b", "  755 \0").end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.log, "");
  EXPECT_EQ(modeOf(at("setuid")), 0755);
  EXPECT_EQ(modeOf(at("setgid")), 0644);
  EXPECT_EQ(modeOf(at("sticky")), 0755);  // 0777 less the umask
  EXPECT_EQ(modeOf(at("none")), 0600);
  EXPECT_EQ(modeOf(at("spaces")), 0755);
}

TEST_P(UnTarContainmentTest, ExistingFileIsReplacedWithNewMode) {
  writeFile(at("f"), "old contents that are longer");
  ::chmod(at("f").c_str(), 0600);
  TarBuilder t;
  t.file("f", "new", "0000755").end();
  extract(archive(t));
  EXPECT_EQ(slurp(at("f")), "new");
  EXPECT_EQ(modeOf(at("f")), 0755);
}

TEST_F(UnTarTest, SkipsMetadataCompanionsAndReadsNextEntry) {
  TarBuilder t;
  t.file("._top", std::string(700, 'm')).directory("d/").file("d/._f", "meta");
  t.file("._dir/inner", std::string(513, 'm')).file("d/f", "real").end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.log, "");
  EXPECT_FALSE(exists(at("._top")));
  EXPECT_FALSE(exists(at("d/._f")));
  EXPECT_FALSE(exists(at("._dir")));
  EXPECT_EQ(slurp(at("d/f")), "real");
}

TEST_P(UnTarContainmentTest, FileBeforeItsDirectoryIsLoggedAndSkipped) {
  TarBuilder t;
  t.file("missing/f", std::string(600, 'x')).file("g", "after").end();
  Outcome run = extract(archive(t));
  EXPECT_NE(run.log.find("Could not create file " + at("missing/f") + " 2 No such file or directory"),
            std::string::npos)
      << run.log;
  EXPECT_EQ(slurp(at("g")), "after");
}

TEST_F(UnTarTest, SkipsOtherEntryTypesWithTheirData) {
  TarBuilder t;
  t.add({.name = "hard", .type = '1', .linkName = "x"}, std::string(600, 'h'));
  t.add({.name = "fifo", .type = '6'});
  t.add({.name = "global", .type = 'g'}, "30 comment=a global header\n");
  t.add({.name = "oldstyle", .type = '\0'}, std::string(10, 'o'));
  t.add({.name = "device", .type = '3'});
  t.file("f", "kept").end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.log, "");
  EXPECT_EQ(snapshot(dest()).size(), 1u);
  EXPECT_EQ(slurp(at("f")), "kept");
}

TEST_P(UnTarContainmentTest, DirectoryIsReplacedByLink) {
  fs::create_directories(at("d/sub"));
  writeFile(at("d/sub/file"), "x");
  TarBuilder t;
  t.link("d", "elsewhere").file("f", "f").end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.log, "");
  ASSERT_TRUE(isLink(at("d")));
  EXPECT_EQ(fs::read_symlink(at("d")), "elsewhere");
}

TEST_P(UnTarContainmentTest, DirectoryEntryOverLinkBecomesDirectory) {
  fs::create_symlink(sibling(), at("d"));
  TarBuilder t;
  t.directory("d/").file("d/f", "inside").end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.log, "");
  EXPECT_FALSE(isLink(at("d")));
  EXPECT_EQ(slurp(at("d/f")), "inside");
  EXPECT_FALSE(exists(sibling() + "/f"));
}

// End of the archive and damaged archives --------------------------------------------

TEST_F(UnTarTest, EndBlocksAreSilentOnlyAfterAFile) {
  TarBuilder withFile;
  withFile.directory("d/").file("d/f", "x").end();
  EXPECT_EQ(extract(archive(withFile)).log, "");

  TarBuilder onlyDirectories;
  onlyDirectories.directory("e/").link("e/l", "x").end();
  Outcome run = extract(archive(onlyDirectories));
  EXPECT_NE(run.log.find("ERROR: no magic number"), std::string::npos) << run.log;
  EXPECT_TRUE(exists(at("e/l")));
}

TEST_F(UnTarTest, OldFormatArchiveExtractsNothing) {
  TarBuilder t;
  t.add({.name = "f", .noMagic = true}, "old").end();
  Outcome run = extract(archive(t));
  EXPECT_NE(run.log.find("ERROR: no magic number"), std::string::npos);
  EXPECT_TRUE(snapshot(dest()).empty());
  EXPECT_EQ(run.reports.back(), 100);
}

TEST_F(UnTarTest, TruncationInsideDataIsLoggedThenFinalReport) {
  TarBuilder t;
  t.file("a", "first").file("b", std::string(1000, 'b'));
  // Two header blocks, a's data block, then 100 of b's 1000 bytes.
  std::string cut = t.bytes().substr(0, 3 * 512 + 100);
  for (bool compress : {true, false}) {
    SCOPED_TRACE(compress);
    fs::remove_all(dest());
    fs::create_directory(dest());
    std::string file = path("cut");
    writeFile(file, compress ? gzipped(cut) : cut);
    Outcome run = extract(file);
    size_t sizes = run.log.find("ERROR: sizes don't match: 100, 1000");
    ASSERT_NE(sizes, std::string::npos) << run.log;
    EXPECT_NE(run.log.find("ERROR: extract file failed", sizes), std::string::npos);
    EXPECT_EQ(run.reports.back(), 100);
    EXPECT_EQ(slurp(at("a")), "first");
  }
}

TEST_F(UnTarTest, GzipStreamCutShortIsReportedAfterExtractedFiles) {
  TarBuilder t;
  t.file("a", std::string(5000, 'a')).file("b", "b").end();
  std::string whole = gzipped(t.bytes());
  // Without the trailer and the last deflate bytes the stream still holds
  // both files' data but not the end blocks.
  writeFile(path("cut.gz"), whole.substr(0, whole.size() - 12));
  Outcome run = extract(path("cut.gz"));
  EXPECT_NE(run.log.find("ERROR: unexpected eof"), std::string::npos) << run.log;
}

TEST_F(UnTarTest, UnreadableOrEmptyArchives) {
  Outcome missing = extract(path("nothing-here"));
  EXPECT_NE(
      missing.log.find("error reading JRE open(" + path("nothing-here") + "): No such file or directory"),
      std::string::npos)
      << missing.log;
  EXPECT_TRUE(missing.reports.empty());

  writeFile(path("empty"), "");
  Outcome empty = extract(path("empty"));
  EXPECT_NE(empty.log.find("ERROR: unexpected eof"), std::string::npos);
  EXPECT_EQ(empty.reports, (std::vector<double>{0, 100}));

  writeFile(path("text"), std::string(2000, 'z'));
  EXPECT_NE(extract(path("text")).log.find("ERROR: no magic number"), std::string::npos);
}

TEST_F(UnTarTest, UnsupportedSizesAreLoggedFailures) {
  TarBuilder base256;
  std::string field(12, '\0');
  field[0] = static_cast<char>(0x80);
  field[11] = 1;
  base256.file("before", "b").add({.name = "big", .rawSize = field}, "x").file("after", "a").end();
  Outcome run = extract(archive(base256));
  EXPECT_NE(run.log.find("ERROR: extract file failed"), std::string::npos);
  EXPECT_EQ(slurp(at("before")), "b");
  EXPECT_FALSE(exists(at("big")));

  fs::remove_all(dest());
  fs::create_directory(dest());
  TarBuilder huge;  // 2 GiB exactly, data absent
  huge.file("before", "b").add({.name = "huge", .rawSize = "20000000000"}).end();
  run = extract(archive(huge));
  EXPECT_NE(run.log.find("ERROR: extract file failed"), std::string::npos);
  EXPECT_FALSE(exists(at("huge")));

  fs::remove_all(dest());
  fs::create_directory(dest());
  TarBuilder paxHuge;
  paxHuge.pax({{"size", "99999999999999999999999"}}).file("p", "p").end();
  EXPECT_NE(extract(archive(paxHuge)).log.find("ERROR: extract file failed"), std::string::npos);
  EXPECT_FALSE(exists(at("p")));
}

TEST_F(UnTarTest, OctalRuleStopsAtBlankAndIgnoresLeadingZerosAndBlanks) {
  TarBuilder t;
  t.add({.name = "a", .rawSize = "  0005 7777"}, "12345").file("b", "ok").end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.log, "");
  EXPECT_EQ(slurp(at("a")), "12345");
  EXPECT_EQ(slurp(at("b")), "ok");
}

// Long names -----------------------------------------------------------------------

TEST_F(UnTarTest, HandMadeLongNamesLandAtTheirRealPath) {
  const std::string dir(90, 'n');
  const std::string longName = dir + "/" + std::string(120, 'm');
  const std::string paxName = dir + "/" + std::string(50, 'p');
  TarBuilder t;
  t.directory(dir + "/");
  t.add({.name = "././@LongLink", .type = 'L'}, longName + std::string(1, '\0'));
  t.file("short-gnu", "gnu long");
  t.add({.name = "././@LongLink", .type = 'K'}, std::string(150, 'k') + std::string(1, '\0'));
  t.add({.name = "././@LongLink", .type = 'L'}, "gnu-link");
  t.link("short-link", "ignored");
  t.pax({{"path", paxName}, {"linkpath", "unused"}}).file("short-pax", "pax long");
  t.add({.name = "f", .prefix = dir}, "prefixed");
  t.add({.name = "g", .prefix = "not-a-prefix", .gnuMagic = true}, "gnu header");
  t.end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.log, "");
  EXPECT_EQ(slurp(at(longName)), "gnu long");
  EXPECT_EQ(fs::read_symlink(at("gnu-link")), std::string(150, 'k'));
  EXPECT_EQ(slurp(at(paxName)), "pax long");
  EXPECT_EQ(slurp(at(dir + "/f")), "prefixed");
  EXPECT_EQ(slurp(at("g")), "gnu header");
  EXPECT_FALSE(exists(at("short-gnu")));
  EXPECT_FALSE(exists(at("short-link")));
  EXPECT_FALSE(exists(at("short-pax")));
}

TEST_F(UnTarTest, OversizedHeaderExtensionEndsExtraction) {
  TarBuilder t;
  t.file("before", "b")
      .add({.name = "././@LongLink", .type = 'L'}, std::string(70000, 'L'))
      .file("x", "x")
      .end();
  Outcome run = extract(archive(t));
  EXPECT_NE(run.log.find("ERROR: header extension too long (70000 bytes)"), std::string::npos) << run.log;
  EXPECT_EQ(slurp(at("before")), "b");
}

// Hostile archives ---------------------------------------------------------------

TEST_P(UnTarContainmentTest, RefusesEntriesEscapingDestinationOrPassingThroughLinks) {
  fs::create_symlink(sibling(), at("existing-link"));
  fs::create_symlink(sibling() + "/keep", at("over-link"));
  std::map<std::string, std::string> siblingBefore = snapshot(sibling());

  TarBuilder t;
  t.file(sibling() + "/absolute", "abs");
  t.file("../sibling/escape", "esc");
  t.file("ok/../../sibling/escape2", "esc");
  t.directory("../sibling/dir/");
  t.link("../sibling/link", "x");
  // A link the archive makes, then writes through it.
  t.link("rel", "../sibling");
  t.file("rel/through", "through");
  t.directory("rel/newdir/");
  t.link("rel/newlink", "x");
  t.link("abs", sibling());
  t.file("abs/through-abs", "through");
  // A link that was there before.
  t.file("existing-link/through-existing", "through");
  // Names that denote the destination itself.
  t.link(".", "x");
  t.file("./", "x");
  // A file over a link replaces the link.
  t.file("over-link", "replaced");
  // Long-name forms of the same escapes.
  t.add({.name = "././@LongLink", .type = 'L'}, "../sibling/long-escape");
  t.file("harmless", "long");
  t.pax({{"path", "rel/pax-through"}}).file("harmless2", "pax");
  t.file("after", "still extracted");
  t.end();

  Outcome run = extract(archive(t));
  EXPECT_EQ(snapshot(sibling()), siblingBefore);
  for (const char* name : {"/absolute", "../sibling/escape", "ok/../../sibling/escape2", "../sibling/dir/",
                           "../sibling/link", "rel/through", "rel/newdir/", "rel/newlink", "abs/through-abs",
                           "existing-link/through-existing", "../sibling/long-escape", "rel/pax-through"}) {
    std::string name_ = name[0] == '/' ? sibling() + name : name;
    EXPECT_NE(run.log.find("ERROR: unsafe path " + name_ + "\n"), std::string::npos) << name_;
  }
  // Link targets are kept as written, whatever they point at.
  EXPECT_EQ(fs::read_symlink(at("rel")), "../sibling");
  EXPECT_EQ(fs::read_symlink(at("abs")), sibling());
  EXPECT_FALSE(isLink(at("over-link")));
  EXPECT_EQ(slurp(at("over-link")), "replaced");
  EXPECT_EQ(slurp(sibling() + "/keep"), "sibling data");
  EXPECT_EQ(slurp(at("after")), "still extracted");
  EXPECT_FALSE(exists(at("harmless")));
  EXPECT_FALSE(exists(at("harmless2")));
  EXPECT_TRUE(fs::is_directory(dest()));
}

// Results ---------------------------------------------------------------------------

TEST_F(UnTarTest, ResultTellsWhetherTheArchiveWasExtractedCompletelyOrItsFirstFailure) {
  TarBuilder good;
  good.directory("d/").file("d/a", std::string(3000, 'a')).file("d/b", "b").end();
  const std::string tar = good.bytes();
  const std::string gz = gzipped(tar);
  std::string badCheck = gz, badLength = gz, badDeflate = gz;
  badCheck[gz.size() - 8] ^= 1;
  badLength[gz.size() - 4] ^= 1;
  for (size_t i = 10; i < 16; ++i) badDeflate[i] = '\xff';
  // d/ header, d/a header, six blocks of d/a, d/b header at 4096.
  const size_t bHeader = 4096;
  TarBuilder unsafe;
  unsafe.file("../x", "x").file("missing/f", "f").file("ok", "ok");

  struct Case {
    const char* what;
    std::string bytes;
    std::string failure;  // empty: complete; otherwise the start of the text
  };
  const std::vector<Case> cases = {
      {"gzip", gz, ""},
      {"plain", tar, ""},
      {"two gzip members", gzipped(tar.substr(0, 1500)) + gzipped(tar.substr(1500)), ""},
      {"bytes after the gzip member", gz + "trailing bytes", ""},
      {"empty", "", "the archive is empty"},
      {"web page", "<!DOCTYPE html>\n<html><body>Not Found</body></html>\n",
       "it is not a gzip-compressed tar archive"},
      {"long web page", std::string(3000, ' ') + "<html></html>", "it is not a gzip-compressed tar archive"},
      {"compressed web page", gzipped("<html><body>Not Found</body></html>"),
       "it is compressed but holds no tar archive"},
      {"cut in a header", tar.substr(0, bHeader + 100),
       "the archive is damaged (it ends inside an entry header)"},
      {"cut in data", gzipped(tar.substr(0, 1024 + 1000)), "the archive is damaged (it ends inside a file)"},
      {"no end marker", gzipped(tar.substr(0, bHeader + 1024)), "the archive is damaged (it ends early)"},
      {"compressed data cut short", gz.substr(0, gz.size() - 12), "the archive is damaged (it ends"},
      {"corrupt deflate data", badDeflate, "the archive is damaged (its compressed data is invalid: "},
      {"checksum", badCheck, "the archive is damaged (its checksum does not match its contents)"},
      {"length", badLength, "the archive is damaged (its length does not match its contents)"},
      {"refused entry, then more failures", gzipped(unsafe.bytes()),
       "it holds an entry outside its folder: ../x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dest());
    fs::create_directory(dest());
    writeFile(path("case"), c.bytes);
    Outcome run = extract(path("case"));
    if (c.failure.empty()) {
      EXPECT_TRUE(run.result.complete()) << *run.result.failure;
      EXPECT_EQ(slurp(at("d/a")), std::string(3000, 'a'));
      EXPECT_EQ(slurp(at("d/b")), "b");
    } else {
      ASSERT_FALSE(run.result.complete());
      EXPECT_EQ(run.result.failure->substr(0, c.failure.size()), c.failure) << *run.result.failure;
    }
    EXPECT_EQ(run.reports.back(), 100);
  }
}

TEST_F(UnTarTest, EntriesThatCannotBeCreatedMakeTheResultIncompleteAndTheRestIsExtracted) {
  TarBuilder t;
  t.file("missing/f", "f").link("missing/l", "x").file("g", "after").end();
  Outcome run = extract(archive(t));
  EXPECT_EQ(run.result.failure, "could not create the file missing/f: no such file or directory");
  EXPECT_EQ(slurp(at("g")), "after");
}

// Containment --------------------------------------------------------------------------

// Another process keeps exchanging a directory of the destination with a link
// to an outside directory while a large archive extracts into it: whichever
// the kernel sees, nothing is ever created outside.
TEST_P(UnTarContainmentTest, DirectorySwappedForAnOutsideLinkNeverLeadsOutside) {
  TarBuilder t;
  for (int i = 0; i < 2000; ++i) {
    std::string n = std::to_string(i);
    t.file("d/f" + n, "data " + n);
    if (i % 20 == 0) t.directory("d/s" + n + "/").link("d/l" + n, "target").file("d/s" + n + "/inner", n);
  }
  t.end();
  std::string file = archive(t);
  std::map<std::string, std::string> outsideBefore = snapshot(sibling());
  long swaps = 0;
  for (int round = 0; round < 20 && swaps < 1000; ++round) {
    fs::remove_all(dest());
    fs::create_directories(at("d"));
    fs::create_symlink(sibling(), at("swap"));
    std::atomic<bool> done{false};
    std::atomic<long> count{0};
    std::thread swapper([&] {
      while (!done)
        if (::renameat2(AT_FDCWD, at("d").c_str(), AT_FDCWD, at("swap").c_str(), RENAME_EXCHANGE) == 0)
          ++count;
    });
    testing::internal::CaptureStderr();
    UnTar::untar(file, dest(), 0, nullptr, resolution_);
    testing::internal::GetCapturedStderr();
    done = true;
    swapper.join();
    swaps += count;
    ASSERT_EQ(snapshot(sibling()), outsideBefore)
        << "created outside the destination after " << swaps << " swaps";
  }
  EXPECT_GE(swaps, 1000);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, UnTarContainmentTest,
                         ::testing::Values(platform::PathResolution::automatic,
                                           platform::PathResolution::componentWalk),
                         resolutionName);

}  // namespace
