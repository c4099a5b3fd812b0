// Process entry: logs the arguments and picks the run mode.
#include <cstdio>
#include <cstring>

#include "mac_installer/AppDelegate.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/FileDescriptor.h"
#include "platform/Notice.h"

namespace {
constexpr const char* kInvokeOtherMarker = "__qvr_invoke_other";

constexpr const char* kUsage = R"(usage: X.app/Contents/MacOS/X [ARGUMENT...]
       mac_installer __qvr_invoke_other ARGFILE
       mac_installer --help | --version

mac_installer is the start-up program of an application bundle whose work is
done by a Java installer. Copied into the bundle as Contents/MacOS/<name>, it:

  (front end, the default) provides a Java runtime (the bundle's archive
  Contents/Resources/app/jre.tar.gz, a runtime on this machine, or a download),
  shows a progress window, runs the bundle's Java program with every argument
  given (-c or -q: start with the window closed, unless -splash is given too)
  and exits with the Java program's status, or 1 when it fails itself;

  (__qvr_invoke_other ARGFILE) starts Java inside this process from ARGFILE:
  the runtime directory on the first line, then java's arguments, one a line.

Settings: the bundle's Contents/Info.plist (keys "qvr.*" and the "JavaVM"
dictionary) and VM options files (X.vmoptions beside the bundle).
Diagnostics: QUORVANE_LOG=yes writes a trace to standard error.
Bundles are made with mac_installer-make-bundle. Manual: man mac_installer.
--help and --version work only outside a bundle; inside one, every argument
belongs to the Java program.
)";
}  // namespace

int main(int count, char** arguments) {
  // The runtime library restarts the program with Java's arguments alone.
  if (std::optional<int> status = resumeRestartedLaunch(count, arguments)) return *status;
  platform::FileDescriptor::openClosedStandardDescriptors();
  // A detached copy of this program that shows one notice ends here.
  if (std::optional<int> status = platform::noticeProcessMain(count, arguments)) return *status;
  _DLog("%s [Line %d] app started %d", __PRETTY_FUNCTION__, __LINE__, count);
  for (int i = 0; i < count; ++i) _DLog("%s [Line %d] arg %s", __PRETTY_FUNCTION__, __LINE__, arguments[i]);

  // Outside a bundle the program has nothing to run; there it answers the
  // usual questions. Inside one, these are the Java program's arguments.
  const bool help = count >= 2 && std::strcmp(arguments[1], "--help") == 0;
  const bool version = count >= 2 && std::strcmp(arguments[1], "--version") == 0;
  if ((help || version) && !platform::Bundle::mainExecutableIsInBundle()) {
    if (help)
      std::fputs(kUsage, stdout);
    else
      std::printf("mac_installer %s\n", MI_VERSION);
    return 0;
  }

  if (count >= 3 && std::strcmp(arguments[1], kInvokeOtherMarker) == 0) {
    _DLog("%s [Line %d] invoke other %s %p", __PRETTY_FUNCTION__, __LINE__, arguments[2], &launcher_main);
    return launcher_main(count, arguments);
  }
  return applicationMain(count, arguments);
}
