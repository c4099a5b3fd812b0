// libFuzzer target for the archive reader: each input is extracted as an
// archive file into a scratch directory whose sibling holds a sentinel file;
// anything created or changed beside the destination is a containment
// failure and aborts the run, and so is an incomplete result without a reason.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "mac_installer/UnTar.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
  fs::path root;
  fs::path dest;
  fs::path outside;
  int archiveFd = -1;
  std::string archivePath;

  Scratch() {
    const char* base = std::getenv("FUZZ_SCRATCH");
    std::string pattern = std::string(base ? base : "/dev/shm") + "/fuzz_untar.XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    root = pattern;
    dest = root / "dest";
    outside = root / "outside";
    fs::create_directory(dest);
    fs::create_directory(outside);
    std::ofstream(outside / "keep") << "sentinel";
    archiveFd = ::memfd_create("archive", 0);
    if (archiveFd < 0) std::abort();
    archivePath = "/proc/self/fd/" + std::to_string(archiveFd);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  bool outsideUntouched() const {
    std::error_code ec;
    size_t entries = 0;
    for (auto it = fs::directory_iterator(outside, ec); !ec && it != fs::directory_iterator(); ++it)
      ++entries;
    std::ifstream in(outside / "keep");
    std::string text;
    std::getline(in, text);
    return entries == 1 && text == "sentinel" && !fs::is_symlink(outside / "keep");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  static Scratch scratch;
  if (::ftruncate(scratch.archiveFd, 0) != 0 ||
      ::pwrite(scratch.archiveFd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();

  int reports = 0;
  // Both ways of resolving paths beneath the destination, chosen by the input.
  platform::PathResolution resolution =
      size % 2 ? platform::PathResolution::componentWalk : platform::PathResolution::automatic;
  UnTar::Result result = UnTar::untar(
      scratch.archivePath, scratch.dest.string(), static_cast<std::int32_t>(size),
      [&](double percent) {
        // Percentages are finite and never negative.
        if (!(percent >= 0 && percent < 1e30)) std::abort();
        ++reports;
      },
      resolution);
  if (reports < 2) std::abort();  // at least the first and the final report
  // An incomplete extraction always says why.
  if (!result.complete() && result.failure->empty()) std::abort();
  if (!scratch.outsideUntouched()) std::abort();
  if (!fs::is_directory(fs::symlink_status(scratch.dest))) std::abort();

  std::error_code ec;
  for (auto it = fs::directory_iterator(scratch.dest, ec); !ec && it != fs::directory_iterator(); ++it)
    fs::remove_all(it->path(), ec);
  return 0;
}
