// Placeholder until the logging library lands: formats the message and hands it
// to the registered hook.
#include <stdarg.h>
#include <stdio.h>

#include "ZelLog.h"

namespace {
Log_ExtLogFn hook = nullptr;
}

extern "C" int Log_Msg(int level, int notice, const char *file, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (hook != nullptr) hook(level, notice, file, text);
  return 0;
}

extern "C" int Log_SetExtLogFn(Log_ExtLogFn fn) {
  hook = fn;
  return 0;
}

extern "C" int Log_SetLogLevel(unsigned, int *) { return 0; }
extern "C" int Log_WriteOpen(const char *, int, int, int) { return 0; }
extern "C" int Log_WriteClose(void) { return 0; }
