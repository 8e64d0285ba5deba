// Runs of kep that end at once, from the outside: usage, rejected command
// lines, a configuration error, -d, and links planted at the log files. Each
// still prepares the process: working folders, the passwd command, the first
// line of the debug log.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "kep_main.h"

TEST(FrontEndExec, RunsThatEndAtOnceStillPrepareTheProcessAndRefuseLinkedLogs) {
  const std::string usage =
      "\nUsage:\n\n  supervisor [-c config] [-b] [-l level] [-d]\n\n  Where:\n\n"
      "  -b           Run in background.\n  -r           Disable reboot if failure occurs\n"
      "  -d           Disable logging to /var/log/dlog.log\n"
      "  -v           Enable verbose debug logging\n  -c config    Read from configuration file.\n"
      "  -f file      Application reboot name/count file.\n"
      "                 Default: /etc/kep/rebootApplicationData\n  -l level     Minimum level to "
      "log:\n"
      "               20 = Error and above\n               30 = Warning and above\n"
      "               40 = Info and above\n               50 = Debug and above\n\n";
  const std::string start = "dlog:---- kep is starting ----", stop = "dlog:---- kep stopped ----";
  const std::string parseError = "main(): error parsing config file bad.conf.";
  const struct {
    std::vector<std::string> args;  // bad.conf: a configuration with an error
    // 1: kep.log another user's symbolic link; 2: dlog.log one, kep.log a hard
    // link; 3: both root's symbolic links to a folder of their own (a RAM file system)
    int links;
    int exitCode;
    std::vector<std::string> once;  // each once in err (standard error), dlog or log (kep.log)
  } cases[] = {
      // Through a link of another name: usage shows that name, and the default file despite -f.
      {{"-f", "/somewhere/else", "-h"}, 0, 0, {"dlog:---- supervisor is starting ----"}},
      {{"-x"}, 0, 1, {"err:kep received invalid option: x.", start}},
      {{"-b", "-c"}, 0, 1, {"err:kep received invalid option: c.", start}},
      {{"stray"}, 0, 1, {"err:kep received invalid argument: stray.", start}},
      // The start line comes before -d is read; the closing line is written anyway.
      {{"-d", "-l", "40", "-c", "bad.conf"},
       0,
       0,
       {start, stop, "log:" + parseError, "log:main(): returned from state machine."}},
      // Without its own file kep still logs to the debug log.
      {{"-c", "bad.conf"},
       1,
       0,
       {"err:ZelLog: /var/log/kep/kep.log is a symbolic link: refused, nothing is logged there",
        "err:Log_WriteOpen(kep) failed.", "dlog:ZelLog: /var/log/kep/kep.log is a symbolic link",
        "dlog:" + parseError, stop}},
      {{"-c", "bad.conf"},
       2,
       0,
       {"err:libdlog: /var/log/dlog.log is a symbolic link: refused, no entry is written there",
        "err:ZelLog: /var/log/kep/kep.log is a hard link: refused, nothing is logged there",
        "err:Log_WriteOpen(kep) failed."}},
      {{"-c", "bad.conf"}, 3, 0, {"ram:" + parseError, "ramdlog:" + parseError, stop}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.back());
    e2e::State state;
    for (const char *folder : {"/var/log/kep", "/etc"})
      ASSERT_EQ(KepMkdirDashP(state.Inside(folder).c_str()), 0);
    const std::string secret = state.Write("etc/secret", "root only\n");
    const std::string other = state.Write("etc/other", "root only too\n");
    chmod(secret.c_str(), 0600);
    const std::string kepLog = state.Inside("/var/log/kep/kep.log");
    const std::string dlogPath = state.Inside("/var/log/dlog.log");
    if (c.links == 1 || c.links == 2) {
      const std::string linked = c.links == 1 ? kepLog : dlogPath;
      ASSERT_EQ(symlink("/etc/secret", linked.c_str()), 0);
      if (!e2e::GiveToAnotherUser(linked)) continue;  // every link is root's in the sandbox
    }
    ASSERT_TRUE(c.links != 2 || link(other.c_str(), kepLog.c_str()) == 0);
    if (c.links == 3) {
      ASSERT_EQ(mkdir(state.Inside("/var/log/ram").c_str(), 0755), 0);
      // Relative, so that the test reads through them too.
      ASSERT_TRUE(symlink("../ram/kep.log", kepLog.c_str()) == 0 &&
                  symlink("ram/dlog.log", dlogPath.c_str()) == 0);
    }
    state.Write("bad.conf", "application " + state.Script("never", "echo started > record\n") +
                                " {\n  deathAction restart\n  frobnicate\n}\n");
    const std::string program = state.File(c.args.back() == "-h" ? "supervisor" : "kep");
    ASSERT_EQ(symlink(KEP_BIN, program.c_str()), 0);

    e2e::Outcome outcome = e2e::Run(state, e2e::KepCommand(c.args, program)).Wait(20);
    EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.err;
    EXPECT_EQ(outcome.out, c.args.back() == "-h" ? usage : "");
    const std::string dlog = state.Dlog();
    std::map<std::string, std::string> output = {
        {"err", outcome.err},
        {"dlog", dlog},
        {"log", ReadFile(kepLog)},
        {"ram", ReadFile(state.Inside("/var/log/ram/kep.log"))},
        {"ramdlog", ReadFile(state.Inside("/var/log/ram/dlog.log"))}};
    for (const std::string &where : c.once) {
      const size_t colon = where.find(':');
      EXPECT_EQ(CountOf(output[where.substr(0, colon)], where.substr(colon + 1)), 1u)
          << where << "\n"
          << outcome.err << dlog;
    }
    EXPECT_EQ(CountOf(dlog, "---- kep stopped ----"),
              std::count(c.once.begin(), c.once.end(), stop));
    EXPECT_TRUE(c.args[0] != "-d" || e2e::Lines(dlog).size() == 2u) << dlog;
    EXPECT_EQ(CountOf(dlog, "Log_SetLogLevel() failed."), 0u);  // the default level, or -l's
    for (const char *folder :
         {"/var/local/zel/kep", "/var/local/zel/kep/syncFiles", "/var/log/kep"})
      EXPECT_TRUE(std::filesystem::is_directory(state.Inside(folder))) << folder;
    EXPECT_EQ(state.Calls("passwd"), std::vector<std::string>{"-x -1 root"});
    EXPECT_FALSE(FileExists(state.File("record")));
    EXPECT_EQ(ReadFile(secret) + ReadFile(other), "root only\nroot only too\n");
  }
}
