// The installer front end.
#include "mac_installer/AppDelegate.h"

#include "mac_installer/global.h"

int applicationMain(int count, char** arguments) {
  (void)arguments;
  _DLog("%s [Line %d] front end not available in this build %d", __PRETTY_FUNCTION__, __LINE__, count);
  return 1;
}
