// Micro-benchmarks of kep's hot paths, against the fake system-call seam (fork,
// kill, wait and sleep cost nothing and never block) and the real support
// library (watchdog files are real files, read as on the device):
//   ReadConfig/N       KepReadConfig of N applications
//   Pass/N             one Running pass: KepRunningState + KepCheckChildAppStatus,
//                      every record Running with a fed watchdog file
//   PassNoWatchdog/N   the same with wdTimeout 0: kep's own walks only
//   LoopPass/N         one turn of KepStateMachine (SIGCHLD block and unblock,
//                      handler, collection) without the sleep
//   StateChange/N      KepSetState with its log line and application dump,
//                      written to a log file and the debug log
//   StartCleanup/N     the removal of stale synchronisation files before a
//                      start, in a folder holding the files of N applications
// Each reports its heap allocations per iteration ("allocs") and fits its cost
// against N. bench/run runs them; they are not tests.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "alloc_count.h"
#include "fake.h"
#include "kep_config.h"
#include "kep_main.h"
#include "sync_cleanup.h"
#include "zel_log_testing.h"

namespace {

using kep::bench::AllocationCount;

// A folder of its own, removed with everything in it at the end.
class BenchDir {
 public:
  BenchDir() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kep-bench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
  }
  ~BenchDir() {
    if (path_.empty()) return;
    nftw(
        path_.c_str(),
        [](const char *path, const struct stat *, int type, struct FTW *) {
          return type == FTW_DP ? rmdir(path) : unlink(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  BenchDir(const BenchDir &) = delete;
  BenchDir &operator=(const BenchDir &) = delete;

  bool Ok() const { return !path_.empty(); }
  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string AppName(int index) {
  char name[32];
  snprintf(name, sizeof name, "bench-%04d", index);
  return name;
}

// A configuration of n applications as a device would have them: a death
// action, a start level, arguments, an environment entry, start and stop
// files and a watchdog file (in wdDir when given, else at its default path).
std::string MakeConfig(int n, const std::string &wdDir, unsigned wdTimeout) {
  std::string text =
      "killDelay 15\nkillRetries 2\nwdTimeout " + std::to_string(wdTimeout) +
      "\ndeathMonitorAction reset\ndeathMonitorPeriod 600\nglobalEnv PATH \"/usr/bin:/bin\"\n";
  for (int i = 0; i < n; ++i) {
    std::string name = AppName(i);
    text += "application " + name + " {\n  deathAction restart\n  startLevel " +
            std::to_string(i % 4 * 10) + "\n  arg \"--feed 10 --name " + name +
            "\"\n  env BENCH_INDEX \"" + std::to_string(i) +
            "\"\n  startSync\n  stopSync\n  wdEnable" +
            (wdDir.empty() ? std::string() : " " + wdDir + "/" + name + "-wd") + "\n}\n";
  }
  return text;
}

bool WriteText(const std::string &path, const std::string &text) {
  FILE *file = fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  return fclose(file) == 0 && written;
}

void ClearModel() {
  KepDeallocateAppList();
  KepResetSettings();
}

void ReportAllocations(benchmark::State &state, uint64_t before) {
  double perIteration = state.iterations() == 0
                            ? 0.0
                            : static_cast<double>(AllocationCount() - before) /
                                  static_cast<double>(state.iterations());
  state.counters["allocs"] = perIteration;
}

void BM_ReadConfig(benchmark::State &state) {
  int n = static_cast<int>(state.range(0));
  BenchDir dir;
  std::string path = dir.File("kep.conf");
  if (!dir.Ok() || !WriteText(path, MakeConfig(n, "", 60))) {
    state.SkipWithError("cannot write the configuration");
    return;
  }
  ClearModel();
  uint64_t before = AllocationCount();
  for (auto _ : state) {
    int status = KepReadConfig(path.c_str());
    state.PauseTiming();
    if (status != 0 || KepGetAppList().size() != static_cast<size_t>(n)) {
      state.SkipWithError("the configuration was not read");
      break;
    }
    ClearModel();
    state.ResumeTiming();
  }
  ReportAllocations(state, before);
  state.counters["allocs"] = state.counters["allocs"] / n;  // per application
  state.SetComplexityN(n);
  ClearModel();
}

// The model of n Running applications, each with a watchdog file fed for its
// (fake) pid, as KepWdCheck finds it in the steady state.
class RunningModel {
 public:
  RunningModel(int n, unsigned wdTimeout) {
    std::string config = dir_.File("kep.conf");
    ClearModel();
    kep::fake::Reset();
    if (!dir_.Ok() || !WriteText(config, MakeConfig(n, dir_.Path(), wdTimeout)) ||
        KepReadConfig(config.c_str()) != 0) {
      return;
    }
    pid_t pid = 20000;
    for (KepApp &app : KepGetAppList()) {
      app.state = KEP_APP_STATE_RUNNING;
      app.pid = pid++;
      if (KepFeedWatchdogFile(app.wdFile->c_str(), app.pid) != 0) return;
    }
    currentState = KEP_STATE_RUNNING;
    shutdownRequested = 0;
    ok_ = KepWdCheck(&KepGetAppList()) == 0;
  }
  ~RunningModel() { ClearModel(); }

  bool Ok() const { return ok_; }
  // Every record still Running: the pass changed nothing.
  bool Unchanged() const {
    for (const KepApp &app : KepGetAppList()) {
      if (app.state != KEP_APP_STATE_RUNNING) return false;
    }
    return currentState == KEP_STATE_RUNNING;
  }

 private:
  BenchDir dir_;
  bool ok_ = false;
};

void RunPasses(benchmark::State &state, unsigned wdTimeout) {
  int n = static_cast<int>(state.range(0));
  RunningModel model(n, wdTimeout);
  if (!model.Ok()) {
    state.SkipWithError("cannot set up the running applications");
    return;
  }
  uint64_t before = AllocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(KepRunningState());
    benchmark::DoNotOptimize(KepCheckChildAppStatus());
  }
  ReportAllocations(state, before);
  state.SetComplexityN(n);
  if (!model.Unchanged()) state.SkipWithError("a pass changed the model");
}

void BM_Pass(benchmark::State &state) { RunPasses(state, 300); }
void BM_PassNoWatchdog(benchmark::State &state) { RunPasses(state, 0); }

void BM_LoopPass(benchmark::State &state) {
  int n = static_cast<int>(state.range(0));
  RunningModel model(n, 300);
  if (!model.Ok()) {
    state.SkipWithError("cannot set up the running applications");
    return;
  }
  // The pass's sleep ends the loop after one turn; the fake's record of
  // sleeps is emptied so that it does not grow.
  kep::fake::World().sleptUs.reserve(1);
  kep::fake::World().onSleep = [](unsigned long long) {
    kep::fake::World().sleptUs.clear();
    currentState = KEP_STATE_EXITING;
  };
  uint64_t before = AllocationCount();
  for (auto _ : state) {
    currentState = KEP_STATE_RUNNING;
    benchmark::DoNotOptimize(KepStateMachine());
  }
  ReportAllocations(state, before);
  state.SetComplexityN(n);
  kep::fake::World().onSleep = nullptr;
  currentState = KEP_STATE_RUNNING;
  if (!model.Unchanged()) state.SkipWithError("a pass changed the model");
}

// One change of the supervisor state with logging as kep runs it: the log
// file under a root of our own, the hook copying every message to the debug
// log. A change logs one line and dumps the application list (four lines an
// application); a restart makes two such changes.
void BM_StateChange(benchmark::State &state) {
  int n = static_cast<int>(state.range(0));
  RunningModel model(n, 300);
  BenchDir logRoot;
  std::string logDir = logRoot.File("var/log/kep");
  if (!model.Ok() || !logRoot.Ok() || KepMkdirDashP(logDir.c_str()) != 0) {
    state.SkipWithError("cannot set up the running applications and the log");
    return;
  }
  ZelLog_SetRootForTesting(logRoot.Path().c_str());
  Dlog_SetRootForTesting(logRoot.Path().c_str());
  if (Log_WriteOpen("kep-bench", 0, 2000, 0) != 0) {
    state.SkipWithError("cannot open the log");
    return;
  }
  Log_SetExtLogFn(ExtLogFn);
  uint64_t before = AllocationCount();
  for (auto _ : state) {
    KepSetState(currentState == KEP_STATE_RUNNING ? KEP_STATE_STARTING_APPS : KEP_STATE_RUNNING,
                "BM_StateChange", __LINE__);
  }
  ReportAllocations(state, before);
  state.SetComplexityN(n);
  Log_SetExtLogFn(nullptr);
  Log_WriteClose();
  ZelLog_SetRootForTesting(nullptr);
  Dlog_SetRootForTesting(nullptr);
  currentState = KEP_STATE_RUNNING;
}

// The clean-up before each start: the synchronisation folder holds the files
// of n running applications (a watchdog file each) and the application to
// start has none left. Starting n applications runs it n times.
void BM_StartCleanup(benchmark::State &state) {
  int n = static_cast<int>(state.range(0));
  BenchDir dir;
  for (int i = 0; i < n && dir.Ok(); ++i) {
    if (!WriteText(dir.File(AppName(i) + "-wd"), "kep-wd pid=1 count=1 fed=1.000000\n")) {
      state.SkipWithError("cannot write the watchdog files");
      return;
    }
  }
  std::string prefix = dir.File(AppName(n) + "-");
  uint64_t before = AllocationCount();
  for (auto _ : state) {
    if (KepRmFilesWithPrefix(prefix.c_str()) != 0) {
      state.SkipWithError("KepRmFilesWithPrefix failed");
      break;
    }
  }
  ReportAllocations(state, before);
  state.SetComplexityN(n);
}

BENCHMARK(BM_ReadConfig)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_Pass)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_PassNoWatchdog)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_LoopPass)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_StateChange)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_StartCleanup)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
