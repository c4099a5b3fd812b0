// Runs one archive extraction into an existing directory, exactly as the
// installer does, and prints how the progress was reported and whether the
// archive was extracted completely. Extraction failures are log lines on
// standard error; the exit status is 1 for a wrong command line or an
// incomplete extraction.
#include "mac_installer/UnTar.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s ARCHIVE DEST [UNCOMPRESSED_LENGTH]\n", argv[0]);
    return 1;
  }
  // The installer's own default expected length.
  long long length = 6000000;
  if (argc == 4) {
    char* end = nullptr;
    errno = 0;
    length = std::strtoll(argv[3], &end, 10);
    if (errno != 0 || end == argv[3] || *end != '\0' || length < 0 || length > 2147483647) {
      std::fprintf(stderr, "%s: UNCOMPRESSED_LENGTH must be a number from 0 to 2147483647: %s\n", argv[0],
                   argv[3]);
      return 1;
    }
  }
  long reports = 0;
  double last = -1;
  UnTar::Result result =
      UnTar::untar(argv[1], argv[2], static_cast<std::int32_t>(length), [&](double percent) {
        ++reports;
        last = percent;
      });
  std::printf("progress reports: %ld\nlast percentage: %g\n", reports, last);
  if (result.complete()) {
    std::printf("complete\n");
    return 0;
  }
  std::printf("incomplete: %s\n", result.failure->c_str());
  return 1;
}
