// The program travels: it needs only the C library, exports none of the
// libraries it carries, and runs a bundle on a machine where the desktop,
// transfer, property-list, XML, Unicode and C++ runtime libraries are
// missing. That machine is this one seen from a private mount namespace in
// which an empty file lies over each of those libraries (root only).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <set>

#include "FrontEndSupport.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kCxxRuntime = "libstdc++.so.6";
// The libraries a minimal system lacks; the C++ runtime comes last.
const std::vector<std::string> kHiddenLibraries = {"libgtk-3.so.0",   "libcurl.so.4",     "libplist-2.0.so.3",
                                                   "libpugixml.so.1", "libutf8proc.so.2", kCxxRuntime};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

class SelfContainedTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
#ifndef MI_SELF_CONTAINED
    GTEST_SKIP() << "this build links the program with the sanitizers' shared runtimes";
#endif
    e2e::ProgramTest::SetUp();
  }

  // Standard output of a tool (argument vector, no shell); fails the test
  // when it does not exit with 0.
  std::string output(const std::string& tool, std::vector<std::string> arguments) {
    e2e::RunOptions o;
    o.arguments = std::move(arguments);
    e2e::Run run = e2e::runProgram(tool, root_ / "tool", o);
    EXPECT_EQ(run.status, 0) << tool << ": " << run.err;
    return run.out;
  }

  // Names of the dynamic symbols an object defines, without versions.
  std::set<std::string> definedSymbols(const std::string& object) {
    std::set<std::string> names;
    for (const std::string& line : lines(output("/usr/bin/nm", {"-D", "--defined-only", object}))) {
      std::string name = line.substr(line.rfind(' ') + 1);
      names.insert(name.substr(0, name.find('@')));
    }
    return names;
  }

  // The file the dynamic linker would load for a library name (links
  // resolved); empty when the machine does not have it.
  std::string installedLibrary(const std::string& soname) {
    for (const std::string& line : lines(output("/sbin/ldconfig", {"-p"}))) {
      std::string entry = line.substr(line.find_first_not_of(" \t"));
      if (entry.rfind(soname + " (", 0) != 0 || entry.find("x86-64") == std::string::npos) continue;
      std::error_code error;
      fs::path file = fs::canonical(entry.substr(entry.find("=> ") + 3), error);
      if (!error) return file.string();
    }
    return "";
  }

  // Runs the program (arguments after it) in a private mount namespace in
  // which an empty file lies over each library named; the outcome of the
  // program, or status 97 when a library could not be hidden.
  e2e::Run runWithout(const std::vector<std::string>& libraries, const std::string& program,
                      const std::vector<std::string>& arguments, e2e::RunOptions o) {
    fs::path empty = root_ / "empty";
    std::ofstream{empty};
    std::string script = "set -e\n";
    for (const std::string& name : libraries) {
      std::string file = installedLibrary(name);
      if (file.empty()) continue;  // not on this machine: missing already
      script += "mount --bind '" + empty.string() + "' '" + file + "'\n";
      script += "[ ! -s '" + file + "' ] || exit 97\n";
    }
    script += "exec \"$@\"\n";
    o.arguments = {"-m", "--propagation", "private", "--", "/bin/sh", "-c", script, "hide", program};
    o.arguments.insert(o.arguments.end(), arguments.begin(), arguments.end());
    return e2e::runProgram("/usr/bin/unshare", root_ / "run", o);
  }

  // Skips the test unless this process may make a private mount namespace
  // and bind files in it.
  void requireMountNamespace() {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace (unshare -m)";
    e2e::RunOptions o;
    o.arguments = {
        "-m", "--propagation", "private", "--", "/bin/sh", "-c", "mount --bind /dev/null /dev/null"};
    e2e::Run run = e2e::runProgram("/usr/bin/unshare", root_ / "probe", o);
    if (run.status != 0) GTEST_SKIP() << "unshare -m with bind mounts is not permitted here: " << run.err;
  }

  // A JDK whose VM does not need the shared C++ runtime (lib/server/libjvm.so
  // without libstdc++.so.6 among its needed libraries), or empty.
  std::string jdkWithoutCxxRuntime() {
    std::vector<std::string> homes = {e2e::jdk17Home()};
    std::error_code error;
    std::vector<std::string> installed;
    for (const auto& entry : fs::directory_iterator("/usr/lib/jvm", error))
      if (!entry.is_symlink()) installed.push_back(entry.path().string());
    std::sort(installed.begin(), installed.end());
    homes.insert(homes.end(), installed.begin(), installed.end());
    for (const std::string& home : homes) {
      std::string vm = home + "/lib/server/libjvm.so";
      if (!fs::exists(vm) || !fs::exists(home + "/bin/java")) continue;
      if (output("/usr/bin/readelf", {"-d", vm}).find(kCxxRuntime) == std::string::npos) return home;
    }
    return "";
  }

  // The runtime for the runs that start Java: one whose VM does not need the
  // C++ runtime, so that it can be hidden too, else JDK 17 (and the C++
  // runtime stays). Says which in the test's output.
  std::pair<std::string, bool> chooseRuntime() {
    std::string jdk = jdkWithoutCxxRuntime();
    bool cxxFree = !jdk.empty();
    if (!cxxFree) jdk = e2e::jdk17Home();
    std::cout << "runtime " << jdk
              << (cxxFree ? "; the C++ runtime is hidden as well\n"
                          : "; its VM needs the C++ runtime, which stays\n");
    RecordProperty("runtime", jdk);
    RecordProperty("cxx_runtime_hidden", cxxFree ? "yes" : "no: every installed VM needs it");
    return {jdk, cxxFree};
  }

  // A runtime archive (Contents/Home/...) of home: its java.base runtime made
  // by its jlink, or the JDK 17 archive the other tests use.
  fs::path runtimeArchive(const std::string& home) {
    if (home == e2e::jdk17Home()) return e2e::jdkArchive();
    std::string name = "runtime-" + fs::path(home).filename().string() + ".tar.gz";
    return e2e::cached(name, [home](const fs::path& out) {
      fs::path image = out.string() + ".image";
      fs::remove_all(image);
      if (e2e::runCommand({home + "/bin/jlink", "--add-modules", "java.base", "--no-header-files",
                           "--no-man-pages", "--output", image.string()}) != 0)
        throw std::runtime_error("jlink failed for " + home);
      int rc = e2e::runCommand(
          {"tar", "--transform=s,^\\.,Contents/Home,", "-czf", out.string(), "-C", image.string(), "."});
      fs::remove_all(image);
      if (rc != 0) throw std::runtime_error("tar failed making the runtime archive");
    });
  }

  // The libraries hidden from a run of home's VM: all six when it does not
  // need the C++ runtime, else the five others.
  static std::vector<std::string> hiddenFrom(bool cxxFree) {
    std::vector<std::string> hidden = kHiddenLibraries;
    if (!cxxFree) hidden.pop_back();
    return hidden;
  }
};

TEST_F(SelfContainedTest, ProgramNeedsOnlyTheCLibrary) {
  std::vector<std::string> needed;
  for (const std::string& line : lines(output("/usr/bin/readelf", {"-d", MI_PROGRAM_PATH}))) {
    size_t at = line.find("Shared library: [");
    if (at != std::string::npos) needed.push_back(line.substr(at + 17, line.find(']', at) - at - 17));
  }
  ASSERT_FALSE(needed.empty());
  for (const std::string& name : needed)
    EXPECT_TRUE(name == "libc.so.6" || name == "libm.so.6" || name.rfind("ld-linux", 0) == 0) << name;
}

// The C++ runtime, zlib, pugixml and utf8proc are linked in; a library loaded
// later (GTK brings the shared C++ runtime and zlib) must bind to its own
// copies, so the program exports none of their symbols, only its own.
TEST_F(SelfContainedTest, ExportsItsOwnFunctionsAndNoneOfTheLibrariesItCarries) {
  std::set<std::string> exported = definedSymbols(MI_PROGRAM_PATH);
  EXPECT_TRUE(exported.count("_Z13launcher_mainiPPc"));
  EXPECT_TRUE(std::any_of(exported.begin(), exported.end(),
                          [](const std::string& s) { return s.rfind("_ZN8Launcher", 0) == 0; }));
  for (const char* name :
       {"libstdc++.so.6", "libgcc_s.so.1", "libz.so.1", "libpugixml.so.1", "libutf8proc.so.2"}) {
    std::string library = installedLibrary(name);
    if (library.empty()) continue;
    std::set<std::string> theirs = definedSymbols(library);
    std::vector<std::string> shared;
    std::set_intersection(exported.begin(), exported.end(), theirs.begin(), theirs.end(),
                          std::back_inserter(shared));
    EXPECT_TRUE(shared.empty()) << name << " defines " << shared.size() << " symbols the program exports, "
                                << shared.front();
  }
}

// (a) The front end with the bundle's own runtime archive, window closed,
// a display set but no GTK: the property list is read, the archive extracted
// and Java started as the child, all without the hidden libraries.
TEST_F(SelfContainedTest, FrontEndInstallsTheBundledRuntimeWithoutTheMissingLibraries) {
  requireMountNamespace();
  auto [jdk, cxxFree] = chooseRuntime();
  fs::path archive = runtimeArchive(jdk);
  fs::path app = e2e::makeBundle(root_, {{"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{})}})}});
  fs::copy_file(archive, app / "Contents/Resources/app/jre.tar.gz");
  e2e::RunOptions o = options();
  o.environment["DISPLAY"] = ":79";
  o.timeout = std::chrono::seconds(180);
  e2e::Run run = runWithout(hiddenFrom(cxxFree), e2e::executableOf(app), {"-q", "travelled"}, o);
  ASSERT_NE(run.status, 97) << "a library could not be hidden";
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("arg=travelled\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("jreBundle=" + tmp().string()), std::string::npos) << run.out;
  // The display is set, so GTK was looked for, and its absence is logged.
  EXPECT_NE(run.err.find("window backend none (GTK 3 cannot be loaded: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("libgtk-3.so.0"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";
}

// (b) The front end downloading a runtime without libcurl: the download
// fails as a failed download does. No Java runs, so the C++ runtime is
// hidden whatever the installed VMs need.
TEST_F(SelfContainedTest, DownloadWithoutTheTransferLibraryFailsCleanly) {
  requireMountNamespace();
  const std::string url = "http://127.0.0.1:9/jre.tar.gz";
  fs::path app = e2e::makeBundle(root_, {{"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{})}})},
                                         {"qvr.minVersion", Value("99")},
                                         {"qvr.jreLocation", Value(url)}});
  e2e::Run run = runWithout(kHiddenLibraries, e2e::executableOf(app), {}, options());
  ASSERT_NE(run.status, 97) << "a library could not be hidden";
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Download failed! Error - libcurl.so.4 cannot be used: "), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(url), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("The Java runtime could not be downloaded."), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";
}

// (c) Java started inside the program from the installed runtime.
TEST_F(SelfContainedTest, InvokeOtherStartsTheInstalledRuntimeWithoutTheMissingLibraries) {
  requireMountNamespace();
  auto [jdk, cxxFree] = chooseRuntime();
  fs::path arguments = root_ / "arguments";
  std::ofstream(arguments) << jdk << "\n-cp\n" << e2e::echoJar().string() << "\nEcho\ninside";
  e2e::Run run =
      runWithout(hiddenFrom(cxxFree), MI_PROGRAM_PATH, {"__qvr_invoke_other", arguments.string()}, options());
  ASSERT_NE(run.status, 97) << "a library could not be hidden";
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("arg=inside\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("javaHome=" + fs::canonical(jdk).string()), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(arguments));
}

}  // namespace
