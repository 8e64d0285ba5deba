// The logging hook that copies kep's messages to the debug log.
#include "ZelLog.h"
#include "dlog.h"
#include "kep_main.h"

int KepDlogLevel(int level, int notice) {
  switch (level) {
    case LOG_MSG_ERROR:
      return 3;
    case LOG_MSG_WARNING:
      return 4;
    case LOG_MSG_INFO:
      return notice ? 5 : 6;
    default:
      return 7;
  }
}

void ExtLogFn(int level, int notice, const char *file, const char *text) {
  if (file == nullptr) file = "";
  if (disableDlog) return;
  // The text is finished: a '%' in it must arrive as it is.
  __dlog_printf(KepDlogLevel(level, notice), file, "%s", text != nullptr ? text : "");
}
