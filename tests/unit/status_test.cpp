// The status file, rewritten only when what it shows changes, and kep-status,
// which reads it back, refuses damaged files and tells a live kep from a dead one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "kep_main.h"
#include "kep_test.h"
#include "report.h"

namespace {

class StatusFile : public ::testing::Test {
 protected:
  // Two running records, the second as a user of its own, written once.
  void SetUp() override {
    ResetModel();
    currentState = KEP_STATE_RUNNING;
    KepEnableStatusFile(path_.c_str());
    for (const char *name : {"/bin/odd name%", "/usr/bin/b"}) {
      KepApp &app = KepGetAppList().emplace_back();
      app.name = name;
      app.state = KEP_APP_STATE_RUNNING;
      app.pid = 100 + static_cast<int32_t>(KepGetAppList().size());
    }
    KepGetAppList().back().privileges.user = "kepuser";
    ASSERT_EQ(KepUpdateStatusFile(1), 1);
  }
  void TearDown() override {
    KepEnableStatusFile(nullptr);
    ResetModel();
    currentState = KEP_STATE_INVALID;
    stopReason = KEP_STOP_REASON_INVALID;
    stopReasonApp.clear();
  }

  TempDir dir_;
  std::string path_ = dir_.File("status");
};

}  // namespace

// Each change, whether it rewrites the file and a part of the file then. A
// link planted at the temporary name is removed, never followed; a failing
// write is logged once and tried again at the next change.
TEST_F(StatusFile, IsRewrittenOnlyWhenWhatItShowsChanges) {
  const std::string victim = dir_.Write("victim", "precious");
  ASSERT_EQ(symlink(victim.c_str(), (path_ + ".tmp").c_str()), 0);
  KepApp &a = KepGetAppList().front(), &b = KepGetAppList().back();
  ASSERT_EQ(KepUpdateStatusFile(1), 1);
  EXPECT_TRUE(ReadFile(victim) == "precious" && !FileExists(path_ + ".tmp"));
  const struct {
    std::function<void()> change;
    int written;
    std::string shown = "";
  } cases[] = {
      {[] {}, 0},
      {[&] { a.sigtermTime.tv_sec = 5; }, 0},
      {[] { currentState = KEP_STATE_STOPPING_APPS; }, 1, " state=StoppingApps stop=Invalid "},
      {[] { stopReason = KEP_STOP_REASON_RESET; }, 1, " stop=Reset stopApp= "},
      {[] { stopReasonApp = "b"; }, 1, " stopApp=b "},
      {[&] { a.state = KEP_APP_STATE_KILLED; }, 1, "app name=/bin/odd%20name%25 state=Killed "},
      {[&] { a.sigtermCount = 1; }, 1},
      {[&] { a.sigkillSent = 1; }, 1},
      {[&] { b.pid = 7; }, 1, "app name=/usr/bin/b state=Running pid=7 disabled=0 "},
      {[&] { b.disabled = 1; }, 1, " pid=7 disabled=1 "},
      {[&] { b.startCount = 2; }, 1, " starts=2 exit=none exitAt=0.000000 deaths=0 "},
      {[&] { b.deathTimeList.push_back(7); }, 1, " deaths=1 wait=none "},
      {[&] { KepStatusWaitChanged(b, KEP_SYNC_WAIT_START); }, 0,
       " wait=start "},  // written at once
      {[&] { b.state = KEP_APP_STATE_REAPED, b.signalNum = 9, b.run.childReaped = 1; }, 1,
       " exit=signal:9 "},
      {[] {}, 0},
      {[&] { b.state = KEP_APP_STATE_RUNNING, b.signalNum = 0; }, 1, " exit=signal:9 "},
      {[&] { b.state = KEP_APP_STATE_REAPED; }, 1, " exit=status:0 "},  // exitStatus 0
      {[&] { a.state = KEP_APP_STATE_REAPED; }, 1, " exit=unknown "},   // given up after SIGKILL
  };
  for (const auto &c : cases) {
    c.change();
    EXPECT_EQ(KepUpdateStatusFile(0), c.written) << "row " << &c - cases;
    EXPECT_NE(ReadFile(path_).find(c.shown), std::string::npos) << &c - cases << ReadFile(path_);
  }
  LogCapture log;
  const std::string missing = dir_.File("missing/status");
  KepEnableStatusFile(missing.c_str());
  for (b.pid = 200; b.pid < 203; ++b.pid) EXPECT_EQ(KepUpdateStatusFile(0), 0);
  EXPECT_EQ(log.Count("KepUpdateStatusFile(): writing " + missing + " failed (errno = 2)"), 1u);
}

// kep-status on the file this process wrote (so kep runs), edited or damaged:
// 0 when all shown are Running, 1 when one is not, 2 when kep does not run or
// the file is not usable, 64 for bad usage.
TEST_F(StatusFile, KepStatusShowsTheFileOrWhatIsWrongWithIt) {
  const std::string good = ReadFile(path_), pid = std::to_string(getpid());
  auto edit = [&good](const std::string &from, const std::string &to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);  // throws when from is missing
  };
  const std::string reaped = edit("b state=Running", "b state=Reaped");
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0600), 0);
  const std::string hw =
      "kep-hw-watchdog 1\ndevice=/dev/wd0\ntimeout=30\nfed=00000000000000001.000000\n";
  const struct {
    std::string file;  // a path, or the text of the file
    std::vector<std::string> args;
    int status;
    std::string shown;    // a part of standard output or error
    std::string hw = "";  // the hardware-watchdog file beside it
  } cases[] = {
      {good, {}, 0, "kep pid " + pid + ", Running, up "},
      {good, {"-k"}, 0, "\napp name=/bin/odd%20name%25 state=Running pid=101 disabled=0 "},
      {reaped, {}, 1, "\n/usr/bin/b      Reaped "},
      {good, {"-k", "b"}, 0, " user=kepuser\n"},
      {good, {}, 0, "  PID  USER     UP  "},
      {edit(" user=kepuser", ""), {}, 0, "  PID  UP  "},  // no user: no column
      {reaped, {"/bin/odd name%"}, 0, "\n/bin/odd name%  Running "},
      {edit(" start=", " start=1"), {}, 2, "kep is NOT running: it ended without stopping"},
      {edit("boot=", "boot=1"), {}, 2, "kep is NOT running: the device has restarted since"},
      {dir_.File("fifo"), {}, 2, "fifo: not a regular file"},
      {good.substr(0, good.size() - 1), {}, 2, ": the file is cut short (no newline at its end)"},
      {good.substr(0, good.size() - 4), {}, 2, ": the file is cut short or has extra lines"},
      {edit(" 1\n", " 2\n"), {}, 2, ": line 1: a format this tool does not know"},
      {edit("pid=102", "pid=5x"), {}, 2, ": line 4: bad pid"},
      {edit("%25", "%G5"), {}, 2, ": line 3: not key=value words"},
      {edit("apps=2", "apps=4000000000"), {}, 2, ": the file is cut short or has"},
      {good, {"-x"}, 64, "kep-status: unknown option -x\nUsage: kep-status"},
      {good, {}, 0, "\nhardware watchdog /dev/wd0, timeout 30 s, fed ", hw},
      {good, {"-k"}, 0, " hwWatchdog=/dev/wd0 hwWatchdogTimeout=30 hwWatchdogFedAgo=", hw},
      {good, {}, 0, " ago\n\nNAME ", "kep-hw-watchdog 2\n"},  // another format: not shown
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = {"kep-status", "-f"};
    args.push_back(!c.file.empty() && c.file[0] == '/' ? c.file : dir_.Write("edited", c.file));
    args.insert(args.end(), c.args.begin(), c.args.end());
    unlink(dir_.File("hw-watchdog").c_str());
    if (!c.hw.empty()) dir_.Write("hw-watchdog", c.hw);
    const ToolRun run = RunTool(KepStatusMain, args);
    EXPECT_EQ(run.status, c.status) << c.shown << "\n" << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(c.shown), std::string::npos) << run.out << run.err;
  }
}
