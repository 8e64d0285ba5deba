// The state machine with real processes (the test application), real signals
// and real time. The test acts from the logging hook, on the main thread, when
// the supervisor reports what it has just done; it sends itself SIGTERM there,
// as an operator would. Every stop pauses 3 s after each SIGTERM, so each run
// shows as much as it can.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "ZelLog.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

std::string logged;  // every message of the run, one a line
std::function<void(const std::string &)> onLine;
volatile sig_atomic_t hung = 0;

void Hook(int, int, const char *, const char *text) {
  std::string line = text != nullptr ? text : "";
  logged += line + "\n";
  if (onLine) onLine(line);
}

bool Has(const std::string &text, const std::string &needle) {
  return text.find(needle) != std::string::npos;
}

// The states entered, in order, as "Initializing StartingApps ...".
std::string States() {
  std::string states;
  for (size_t at = logged.find("KepSetState(): "); at != std::string::npos;
       at = logged.find("KepSetState(): ", at + 1)) {
    size_t from = logged.find("=> ", at) + 3;
    states += (states.empty() ? "" : " ") + logged.substr(from, logged.find(':', from) - from);
  }
  return states;
}

constexpr int kSignals[] = {SIGCHLD, SIGTERM, SIGINT, SIGALRM};

class StateMachineExec : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    rebootFilePath = rebootPath_.c_str();
    logged.clear();
    Log_SetExtLogFn(Hook);
    for (size_t i = 0; i < 4; ++i) sigaction(kSignals[i], nullptr, &saved_[i]);
    ASSERT_EQ(SetSigChildHandler(), 0);
    ASSERT_EQ(SetSigTermHandler(), 0);
    // A run that hangs is ended in order, and fails.
    hung = 0;
    signal(SIGALRM, [](int) {
      hung = 1;
      shutdownRequested = 1;
    });
  }

  void TearDown() override {
    alarm(0);
    onLine = nullptr;
    Log_SetExtLogFn(nullptr);
    for (size_t i = 0; i < 4; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    KepUnblockSigChild();
    // Nothing may be left behind: no child alive and none unreaped.
    int status = 0;
    pid_t left = waitpid(-1, &status, WNOHANG);
    EXPECT_TRUE(left < 0 && errno == ECHILD) << "a child is left behind (" << left << ")";
    for (const KepApp &app : KepGetAppList()) {
      if (left >= 0 && app.pid > 1) kill(app.pid, SIGKILL);
    }
    while (left >= 0 && waitpid(-1, &status, 0) > 0) {
    }
    Clean();
    rebootFilePath = kKepDefaultRebootFilePath;
  }

  static void Clean() {
    ResetModel();
    currentState = KEP_STATE_INVALID;
    rebootRequested = shutdownRequested = 0;
    stopReason = KEP_STOP_REASON_INVALID;
  }

  // A record of the test application under its own name (a link), so that the
  // log tells the applications apart.
  KepApp &Add(const std::string &name, uint32_t deathAction, uint32_t startLevel,
              std::vector<std::string> args, bool awaitInit = false) {
    std::string path = dir_.File(name);
    EXPECT_EQ(symlink(KEP_TEST_APP, path.c_str()), 0);
    KepApp app;
    app.name = path;
    app.deathAction = deathAction;
    app.startLevel = startLevel;
    app.state = KEP_APP_STATE_CONFIGURED;
    app.index = static_cast<uint32_t>(KepGetAppList().size());
    app.argList.assign(args.begin(), args.end());
    if (awaitInit) {
      app.initFile = dir_.File(name + "-init");
      app.envList.push_back("KEP_INIT_FILE=" + *app.initFile);
    }
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  static uint32_t Run() {
    KepSetState(KEP_STATE_INITIALIZING, "test", __LINE__);
    alarm(60);
    uint32_t end = KepStateMachine();
    alarm(0);
    EXPECT_EQ(hung, 0) << "the run hung and was stopped";
    return end;
  }

  TempDir dir_;
  std::string rebootPath_ = dir_.File("rebootApplicationData");
  struct sigaction saved_[4] = {};
};

TEST_F(StateMachineExec, AnEmptyListRunsUpAndHaltsOnSigterm) {
  onLine = [](const std::string &line) {
    if (Has(line, "=> Running:4")) kill(getpid(), SIGTERM);
  };
  EXPECT_EQ(Run(), KEP_STATE_EXITING);
  EXPECT_EQ(States(), "Initializing StartingApps Running StoppingApps Exiting") << logged;
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(rebootRequested, 0);
}

TEST_F(StateMachineExec, LevelsStartInOrderAndAWaitingInitFileHoldsTheNextLevelBack) {
  // a reports its initialisation late and stays; b and c end at once.
  KepApp &a = Add("level0-a", KEP_DEATH_ACTION_NONE, 0, {"--init=300"}, true);
  KepApp &b = Add("level0-b", KEP_DEATH_ACTION_NONE, 0, {"--exit=0"});
  KepApp &c = Add("level5-c", KEP_DEATH_ACTION_NONE, 5, {"--exit=0"});
  std::vector<std::string> started;
  std::vector<uint32_t> stateOfA;  // as b and c start
  onLine = [&](const std::string &line) {
    if (Has(line, "successfully started")) {
      started.push_back(line.substr(line.rfind('/') + 1, 8));
      if (started.size() > 1) stateOfA.push_back(a.state);
    }
    // Stop once b and c have gone, so that only a is left to stop.
    bool settled = KepGetState() == KEP_STATE_RUNNING && b.state == KEP_APP_STATE_REAPED &&
                   c.state == KEP_APP_STATE_REAPED;
    if (settled && (Has(line, "=> Running:4") || Has(line, "processes exited"))) {
      kill(getpid(), SIGTERM);
    }
  };
  EXPECT_EQ(Run(), KEP_STATE_EXITING);
  EXPECT_EQ(started, (std::vector<std::string>{"level0-a", "level0-b", "level5-c"})) << logged;
  // Same level: b does not wait for a's initialisation; the next level does.
  EXPECT_EQ(stateOfA, (std::vector<uint32_t>{KEP_APP_STATE_INITIALIZING, KEP_APP_STATE_RUNNING}));
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  for (const KepApp &app : KepGetAppList()) {
    EXPECT_EQ(app.state, KEP_APP_STATE_REAPED) << app.name;
    EXPECT_EQ(app.startCount, 1u) << app.name;
  }
  EXPECT_EQ(std::vector<int>({b.exitStatus, c.exitStatus}), std::vector<int>({0, 0}));
  EXPECT_EQ(a.signalNum, static_cast<uint32_t>(SIGTERM));
}

// While one application never reports its initialisation, a restart
// application on the same level dies, is started again and dies again; then
// SIGTERM arrives.
TEST_F(StateMachineExec, ADeadRestartApplicationIsStartedAgainAndSigtermDuringStartUpHalts) {
  KepApp &waiting = Add("never-ready", KEP_DEATH_ACTION_RESTART, 0, {"--no-init"}, true);
  KepApp &dying = Add("restarted", KEP_DEATH_ACTION_RESTART, 0, {"--exit=3"});
  onLine = [&](const std::string &line) {
    if (Has(line, "*** EXITED ***") && dying.startCount == 2) kill(getpid(), SIGTERM);
  };
  EXPECT_EQ(Run(), KEP_STATE_EXITING);
  EXPECT_EQ(dying.startCount, 2u);
  EXPECT_TRUE(Has(logged, "*** EXITED *** exitStatus: 3, signalNum: 0, deathAction: restart (3)."))
      << logged;
  EXPECT_TRUE(Has(logged, "KepStartingAppsState(): Shutdown requested during start app state."));
  EXPECT_EQ(States(), "Initializing StartingApps StoppingApps Exiting");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(waiting.state, KEP_APP_STATE_REAPED);
  EXPECT_EQ(waiting.signalNum, static_cast<uint32_t>(SIGTERM));
  EXPECT_EQ(waiting.startCount, 1u);
}

}  // namespace
