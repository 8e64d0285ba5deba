// Asking the system to restart the device.
#include <errno.h>
#include <linux/reboot.h>
#include <stdlib.h>
#include <string.h>

#include "ZelLog.h"
#include "ZelPathfind.h"
#include "kep_main.h"
#include "kep_sys.h"

namespace {
constexpr const char *kRebootSearchPath = "/bin:/usr/bin:/sbin:/usr/sbin";
constexpr const char *kRebootCommand = "reboot";
}  // namespace

int RequestReboot() {
  // File data first: whatever happens next may not come back.
  kep::sys::Sync();
  char *found = ZelPathfind(kRebootSearchPath, kRebootCommand, "rx");
  int status = KepRebootWithCommand(found);
  free(found);
  return status;
}

int KepRebootWithCommand(const char *found) {
  char command[200];
  memset(command, 0, sizeof command);
  int pending;
  if (found == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): could not find %s in \"%s\".", "RequestReboot",
            kRebootCommand, kRebootSearchPath);
    pending = KEP_ERR_NO_REBOOT_CMD;
  } else {
    strncpy(command, found, sizeof command);
    command[sizeof command - 1] = '\0';
    // Only a failure to run the shell counts; the command's own status is not ours to judge.
    if (kep::sys::System(command) != -1) {
      Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): system(%s) succeeded.", "RequestReboot",
              command);
      return 0;
    }
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): system(%s) failed, errno = %i.", "RequestReboot",
            kRebootCommand, errno);
    pending = KEP_ERR_SYSTEM;
  }

  if (kep::sys::Reboot(LINUX_REBOOT_CMD_RESTART) == 0) {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reboot(LINUX_REBOOT_CMD_RESTART) succeeded.",
            "RequestReboot");
    return 0;
  }
  Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): reboot() failed, errno = %i.", "RequestReboot",
          errno);
  return pending;
}
