// kep's process frame: start-up, command line, run sequence and shut-down.
#include <errno.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "ZelLog.h"
#include "dlog.h"
#include "kep_front_end.h"
#include "kep_main.h"
#include "kep_sys.h"
#include "kep_util.h"

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

void DumpConfiguration() {
  KepLogSettings();
  KepLogGlobalEnv();
  KepLogAppData(1, verbose ? 1 : 0);
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

void KepRunSequence() {
  KepPrepareSupervisor();
  KepStopLeftovers();
  KepUpdateStatusFile(1);

  Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): starting state machine.", "main");
  KepStateMachine();
  Log_Msg(LOG_MSG_INFO, 0, kKepMainUnit, "%s(): returned from state machine.", "main");
  KepUpdateStatusFile(1);

  KepFinishSupervisor();
}

void KepPrepareSupervisor() {
  if (KepRmAllFilesInDir(kepSyncFilesDir) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepRmAllFilesInDir(%s) failed.", "main",
            kepSyncFilesDir);
  }
  KepSetState(KEP_STATE_INITIALIZING, "main", __LINE__);

  if (runInBackground) {
    if (DaemonizeProcess() != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): could not background %s.", "main",
              programName);
      return;
    }
    KepUpdateLockOwner();
  }
  if (SetSigChildHandler() != 0) return;
  if (SetSigTermHandler() != 0) return;
  // Its failures are logged; the signals it could not set keep their effect.
  SetSigStrayHandler();
  if (configFile == nullptr) return;

  if (KepReadConfig(configFile) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): error parsing config file %s.", "main",
            configFile);
    KepSetState(KEP_STATE_EXITING, "main", __LINE__);
    return;
  }
  KepApplyRebootAppRule();
  DumpConfiguration();
}

void KepApplyRebootAppRule() {
  if (KepReadAppRebootFile(&rebootAppName, &rebootAppCount) == 0) return;
  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): read reboot app (%s, %i).", "main",
          rebootAppName.c_str(), static_cast<int>(rebootAppCount));
  if (rebootAppCount < maxAppRebootCount) return;

  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): disabling app (%s, %i).", "main",
          rebootAppName.c_str(), static_cast<int>(rebootAppCount));
  if (KepDisableApp(rebootAppName.c_str()) != 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): could not disable app %s.", "main",
            rebootAppName.c_str());
  }
  KepRemoveAppRebootFile();
}

void KepFinishSupervisor() {
  // The SIGCHLD handler walks the list; it must not run while it is released.
  bool blocked = KepBlockSigChild() == 0;
  if (KepDeallocateAppList() != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): KepDeallocateAppList() failed.", "main");
  }
  if (blocked) KepUnblockSigChild();

  KepDecideReboot();
}

void KepDecideReboot() {
  if (!rebootRequested) return;
  if (KepGetDisableReboot()) {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reboot disabled via configuration.", "main");
  } else if (disableRebootArg) {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reboot disabled via argument.", "main");
  } else {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): reboot being requested.", "main");
    if (RequestReboot() != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): RequestReboot() failed.", "main");
    }
  }
}
