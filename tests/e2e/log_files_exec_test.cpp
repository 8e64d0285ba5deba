// kep's log file and the debug log under attack and under a full disk, from the
// outside: links planted in the world-writable log folders, and a /var/log
// that fills up while kep supervises.
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "kep_main.h"

namespace {

using e2e::CountOf;

const char kStopped[] = "---- kep stopped ----";

// Lines that do not begin a new entry (a full disk may leave the start of one)
// or that hold a time stamp after their start: an entry glued to a cut one.
std::vector<std::string> GluedLines(const std::string &log) {
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\.\d{3}\] )");
  std::vector<std::string> glued;
  for (const std::string &line : e2e::Lines(log)) {
    std::smatch found;
    if (line.empty() || !isdigit(line[0]) ||
        std::regex_search(line.begin() + 1, line.end(), found, stamp))
      glued.push_back(line);
  }
  return glued;
}

}  // namespace

TEST(LogFilesExec, ALinkAtALogPathIsRefusedReportedAndLeftAlone) {
  struct Case {
    const char *symbolicLink;           // replaced by a symbolic link to a root-only file
    const char *hardLink;               // replaced by a second name of a root-only file, or null
    std::vector<std::string> reported;  // on standard error
    bool dlogWritten;
  };
  const Case cases[] = {
      {"/var/log/kep/kep.log",
       nullptr,
       {"ZelLog: /var/log/kep/kep.log is a symbolic link: refused, nothing is logged there\n"},
       true},
      {"/var/log/dlog.log",
       "/var/log/kep/kep.log",
       {"libdlog: /var/log/dlog.log is a symbolic link: refused, no entry is written there\n",
        "ZelLog: /var/log/kep/kep.log is a hard link: refused, nothing is logged there\n"},
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.symbolicLink);
    e2e::State state;
    for (const char *folder : {"/var/log/kep", "/etc"})
      ASSERT_EQ(KepMkdirDashP(state.Inside(folder).c_str()), 0);
    const std::string secret = state.Write("etc/secret", "root only\n");
    const std::string other = state.Write("etc/other", "root only too\n");
    chmod(secret.c_str(), 0600);
    ASSERT_EQ(symlink("/etc/secret", state.Inside(c.symbolicLink).c_str()), 0);
    if (c.hardLink != nullptr) {
      ASSERT_EQ(link(other.c_str(), state.Inside(c.hardLink).c_str()), 0);
    }
    // A configuration error: kep ends at once, through its whole closing sequence.
    const std::string conf = state.Write("bad.conf", "frobnicate\n");
    e2e::Outcome outcome = e2e::RunKep(state, {"-c", conf}, 20);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(ReadFile(secret), "root only\n");
    EXPECT_EQ(ReadFile(other), "root only too\n");
    for (const std::string &line : c.reported)
      EXPECT_EQ(CountOf(outcome.err, line), 1u) << outcome.err;
    EXPECT_EQ(CountOf(outcome.err, "Log_WriteOpen(kep) failed.\n"), 1u) << outcome.err;
    if (c.dlogWritten) {
      const std::string dlog = state.Dlog();
      EXPECT_EQ(CountOf(dlog, c.reported[0].substr(0, c.reported[0].size() - 1)), 1u) << dlog;
      EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
      // Without its own file kep still logs to the debug log.
      EXPECT_EQ(CountOf(dlog, "main(): error parsing config file"), 1u) << dlog;
    }
  }
}

TEST(LogFilesExec, AFullDiskLosesWholeLinesOnlyAndSupervisionGoesOn) {
  e2e::State state;
  const std::string logs = state.File("logs");
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  // Four applications that end at once: each restart logs all four.
  std::string config;
  for (const char *name : {"crasher0", "crasher1", "crasher2", "crasher3"})
    config += "application " + state.Script(name, "exit 1\n") + " {\n  deathAction restart\n}\n";
  const std::string conf = state.Write("kep.conf", config);
  std::string kep;
  for (const std::string &word : e2e::KepCommand({"-l", "40", "-c", conf})) kep += word + " ";
  // /var/log on a small file system of its own, filled while kep restarts its
  // application, then freed again.
  const std::string wrapper =
      state.Script("full-disk", "mount -t tmpfs -o size=1m tmpfs /var/log || exit 90\n" + kep +
                                    "& kep=$!\n"
                                    "until grep -qs EXITED /var/log/dlog.log; do sleep 0.1; done\n"
                                    "dd if=/dev/zero of=/var/log/fill bs=4k 2>/dev/null\n"
                                    "sleep 2; rm /var/log/fill; sleep 2\n"
                                    "kill -TERM $kep; wait $kep; status=$?\n"
                                    "cp /var/log/kep/kep.log /var/log/dlog.log " +
                                    logs + " && exit $status\n");
  e2e::Outcome outcome = e2e::Run(state, {wrapper}).Wait(60);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  const std::string log = ReadFile(logs + "/kep.log"), dlog = ReadFile(logs + "/dlog.log");
  EXPECT_EQ(GluedLines(log), std::vector<std::string>{}) << log;
  EXPECT_EQ(GluedLines(dlog), std::vector<std::string>{}) << dlog;
  // Lines were lost, and said so once writing worked again; the restarts went on.
  const size_t lost = log.rfind(" earlier log line(s) could not be written\n");
  EXPECT_NE(lost, std::string::npos) << log;
  EXPECT_GT(CountOf(log.substr(lost), "*** EXITED ***"), 0u) << log;
  const size_t lostEntries =
      dlog.rfind(" earlier entr(y/ies) of this process could not be written");
  EXPECT_NE(lostEntries, std::string::npos) << dlog;
  EXPECT_GT(CountOf(dlog.substr(lostEntries), "*** EXITED ***"), 0u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
}
