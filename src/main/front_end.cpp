// kep's process frame: start-up, command line and shut-down around the run
// sequence.
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "ZelLog.h"
#include "dlog.h"
#include "kep_main.h"
#include "kep_sys.h"

namespace {

constexpr const char *kPasswdCommand = "passwd -x -1 root";

void PrintUsage() {
  fputs("\n", stdout);
  fputs("Usage:\n\n", stdout);
  printf("  %s [-c config] [-b] [-l level] [-d]\n\n", programName);
  fputs("  Where:\n\n", stdout);
  fputs("  -b           Run in background.\n", stdout);
  fputs("  -r           Disable reboot if failure occurs\n", stdout);
  fputs("  -d           Disable logging to /var/log/dlog.log\n", stdout);
  fputs("  -v           Enable verbose debug logging\n", stdout);
  fputs("  -c config    Read from configuration file.\n", stdout);
  fputs("  -f file      Application reboot name/count file.\n", stdout);
  printf("                 Default: %s\n", kKepDefaultRebootFilePath);
  fputs("  -l level     Minimum level to log:\n", stdout);
  printf("               %i = Error and above\n", 20);
  printf("               %i = Warning and above\n", 30);
  printf("               %i = Info and above\n", 40);
  printf("               %i = Debug and above\n\n", 50);
}

// -l: only the four levels of the logging scale are taken; anything else is
// reported and the level in force stays.
void SetLogLevelArg(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value == 20 || value == 30 || value == 40 || value == 50) {
    logLevel = static_cast<uint32_t>(value);
    return;
  }
  // long is wider than int on the build host; report what an int can hold.
  int shown = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
  fprintf(stderr, "%s invalid log level specified: %i.\n", programName, shown);
  Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s invalid log level specified: %i.", programName,
          shown);
}

void ParseOptions(int argc, char **argv) {
  int option;
  while ((option = getopt(argc, argv, "rbdhvc:l:f:")) != -1) {
    switch (option) {
      case 'b':
        runInBackground = 1;
        break;
      case 'r':
        disableRebootArg = 1;
        break;
      case 'd':
        disableDlog = 1;
        break;
      case 'v':
        verbose = 1;
        break;
      case 'c':
        configFile = optarg;
        break;
      case 'f':
        rebootFilePath = optarg;
        break;
      case 'l':
        SetLogLevelArg(optarg);
        break;
      case 'h':
        PrintUsage();
        exit(0);
      default:
        Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s received invalid option: %c.", programName,
                optopt);
        fprintf(stderr, "%s received invalid option: %c.\n", programName, optopt);
        exit(1);
    }
  }
  if (optind != 0 && optind <= argc && argv[optind] != nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s received invalid argument: %s.", programName,
            argv[optind]);
    fprintf(stderr, "%s received invalid argument: %s.\n", programName, argv[optind]);
    exit(1);
  }
}

void OpenLogging() {
  if (Log_WriteOpen(programName, 0, 2000, 0) == 0) {
    logWriteOpen = 1;
  } else {
    fprintf(stderr, "Log_WriteOpen(%s) failed.\n", programName);
  }
  // The debug log does not depend on kep's own file: a log file that cannot be
  // opened (a full disk, a planted link) must not silence both.
  int status = Log_SetExtLogFn(ExtLogFn);
  if (status != 0) fprintf(stderr, "Log_SetExtLogFn() failed (%i).\n", status);
}

}  // namespace

void KepMain(int argc, char **argv) {
  KepSanitizeProcess();
  kep::sys::System(kPasswdCommand);

  // basename may write into its argument; argv is ours to change.
  if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') programName = basename(argv[0]);

  if (KepCreateDirectories() != 0) {
    fprintf(stderr, "%s(): exiting...\n\n", "main");
    exit(1);
  }
  bool runDir = KepCreateRunDir();
  if (runDir) KepEnableStatusFile(kKepStatusFilePath);
  OpenLogging();
  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "---- %s is starting ----", programName);

  ParseOptions(argc, argv);

  int previousLevel = -1;
  if (Log_SetLogLevel(logLevel, &previousLevel) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): Log_SetLogLevel() failed.", "main");
  }
  // A second kep would start every application a second time.
  long owner = 0;
  if (runDir && KepTakeInstanceLock(&owner) < 0) {
    fprintf(stderr, "%s already running (pid %ld)\n", programName, owner);
    Log_Msg(LOG_MSG_ERROR, 1, kKepMainUnit, "%s already running (pid %ld)", programName, owner);
    exit(kKepExitAlreadyRunning);
  }

  KepRunSequence();

  if (logWriteOpen) {
    if (Log_WriteClose() != 0) {
      fprintf(stderr, "%s(): Log_WriteClose() failed.\n", "main");
    } else {
      logWriteOpen = 0;
    }
  }
  // Straight to the debug log: -d does not silence the closing line.
  __dlog_printf(5, kKepMainUnit, "---- %s stopped ----", programName);
  exit(0);
}
