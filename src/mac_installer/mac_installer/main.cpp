// Process entry: logs the arguments and picks the run mode.
#include <cstring>

#include "mac_installer/AppDelegate.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/FileDescriptor.h"

namespace {
constexpr const char* kInvokeOtherMarker = "__qvr_invoke_other";
}

int main(int count, char** arguments) {
  platform::FileDescriptor::openClosedStandardDescriptors();
  _DLog("%s [Line %d] app started %d", __PRETTY_FUNCTION__, __LINE__, count);
  for (int i = 0; i < count; ++i) _DLog("%s [Line %d] arg %s", __PRETTY_FUNCTION__, __LINE__, arguments[i]);

  if (count >= 3 && std::strcmp(arguments[1], kInvokeOtherMarker) == 0) {
    _DLog("%s [Line %d] invoke other %s %p", __PRETTY_FUNCTION__, __LINE__, arguments[2], &launcher_main);
    return launcher_main(count, arguments);
  }
  return applicationMain(count, arguments);
}
