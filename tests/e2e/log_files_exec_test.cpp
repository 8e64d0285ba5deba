// kep's log file and the debug log under attack and under a full disk, from the
// outside: links planted in the world-writable log folders, and a /var/log
// that fills up while kep supervises.
#include <string>
#include <vector>

#include "e2e_support.h"
#include "kep_main.h"

namespace {

using e2e::CountOf;

const char kStopped[] = "---- kep stopped ----";

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
    }
  }
}
