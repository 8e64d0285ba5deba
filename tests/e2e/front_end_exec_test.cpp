// kep's process frame from the outside: usage, rejected command lines, working
// directories, the passwd command, a configuration error and -d. (-l, the
// closing line after a stop and -b are shown by the supervisor scenarios.)
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::CountOf;

const char kUsage[] =
    "\n"
    "Usage:\n\n"
    "  kep [-c config] [-b] [-l level] [-d]\n\n"
    "  Where:\n\n"
    "  -b           Run in background.\n"
    "  -r           Disable reboot if failure occurs\n"
    "  -d           Disable logging to /var/log/dlog.log\n"
    "  -v           Enable verbose debug logging\n"
    "  -c config    Read from configuration file.\n"
    "  -f file      Application reboot name/count file.\n"
    "                 Default: /etc/kep/rebootApplicationData\n"
    "  -l level     Minimum level to log:\n"
    "               20 = Error and above\n"
    "               30 = Warning and above\n"
    "               40 = Info and above\n"
    "               50 = Debug and above\n\n";

const char kStarting[] = "---- kep is starting ----";
const char kStopped[] = "---- kep stopped ----";

}  // namespace

TEST(FrontEndExec, CommandLinesThatEndAtOnceStillPrepareTheProcess) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;
    std::string message;  // on standard error and in the debug log
  };
  const Case cases[] = {
      {{"-f", "/somewhere/else", "-h"}, 0, kUsage, ""},
      {{"-x"}, 1, "", "kep received invalid option: x."},
      {{"-b", "-c"}, 1, "", "kep received invalid option: c."},
      {{"-r", "stray"}, 1, "", "kep received invalid argument: stray."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.back());
    e2e::State state;
    e2e::Outcome outcome = e2e::RunKep(state, c.args, 20);
    EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.err;
    EXPECT_EQ(outcome.out, c.out);
    for (const char *folder :
         {"/var/local/zel/kep", "/var/local/zel/kep/syncFiles", "/var/log/kep"})
      EXPECT_TRUE(std::filesystem::is_directory(state.Inside(folder))) << folder;
    EXPECT_EQ(state.Calls("passwd"), std::vector<std::string>{"-x -1 root"});
    const std::string dlog = state.Dlog();
    EXPECT_EQ(CountOf(dlog, kStarting), 1u) << dlog;
    EXPECT_EQ(CountOf(dlog, kStopped), 0u) << dlog;
    if (!c.message.empty()) {
      EXPECT_EQ(CountOf(outcome.err, c.message + "\n"), 1u) << outcome.err;
      EXPECT_EQ(CountOf(dlog, c.message), 1u) << dlog;
    }
  }
}

TEST(FrontEndExec, AConfigurationErrorStartsNothingAndDashDLeavesOnlyTheFrameInTheDebugLog) {
  e2e::State state;
  const std::string record = state.File("record");
  const std::string app = state.Script("never", "echo started > " + record + "\n");
  const std::string conf = state.Write(
      "bad.conf", "application " + app + " {\n  deathAction restart\n  frobnicate\n}\n");
  e2e::Outcome outcome = e2e::RunKep(state, {"-d", "-l", "40", "-c", conf}, 20);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_FALSE(FileExists(record));

  // The start line comes before -d is read; the closing line is written anyway.
  const std::vector<std::string> dlog = e2e::Lines(state.Dlog());
  ASSERT_EQ(dlog.size(), 2u) << state.Dlog();
  EXPECT_NE(dlog[0].find(kStarting), std::string::npos) << dlog[0];
  EXPECT_NE(dlog[1].find(kStopped), std::string::npos) << dlog[1];
  const std::string log = ReadFile(state.Inside("/var/log/kep/kep.log"));
  EXPECT_EQ(CountOf(log, "main(): error parsing config file " + conf + "."), 1u) << log;
  EXPECT_EQ(CountOf(log, "main(): returned from state machine."), 1u) << log;
}
