#include "e2e_support.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

namespace e2e {
namespace {

double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

void Pause(double seconds) {
  struct timespec step = {static_cast<time_t>(seconds),
                          static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
  nanosleep(&step, nullptr);
}

// Ends the whole program with the skip status before any test runs when the
// sandbox cannot work on this host, so that the run is reported as skipped and
// not as passed.
class SandboxCheck : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string &reason = SandboxUnavailableReason();
    if (reason.empty()) return;
    fprintf(stderr, "kep end-to-end tests skipped: the sandbox cannot run here: %s\n",
            reason.c_str());
    fflush(nullptr);
    exit(kSandboxUnavailable);
  }
};

::testing::Environment *const sandboxCheck = ::testing::AddGlobalTestEnvironment(new SandboxCheck);

}  // namespace

const std::string &SandboxUnavailableReason() {
  static const std::string reason = [] {
    State state;
    Run probe(state, {"true"});
    Outcome outcome = probe.Wait(60);
    if (outcome.exitCode == kSandboxUnavailable) {
      std::string why = outcome.err;
      while (!why.empty() && isspace(static_cast<unsigned char>(why.back()))) why.pop_back();
      return why.empty() ? std::string("user namespaces are forbidden on this host") : why;
    }
    return std::string();
  }();
  return reason;
}

State::State() {}

std::string State::Inside(const std::string &absolutePath) const { return Path() + absolutePath; }

std::vector<std::string> State::PasswdCalls() const {
  return Lines(ReadFile(Path() + "/passwd.calls"));
}
std::vector<std::string> State::RebootCalls() const {
  return Lines(ReadFile(Path() + "/reboot.calls"));
}

std::string State::Write(const std::string &name, const std::string &text, bool executable) const {
  std::string path = files_.Write(name, text);
  if (executable) chmod(path.c_str(), 0755);
  return path;
}

Run::Run(const State &state, const std::vector<std::string> &command) {
  static int serial = 0;
  std::string base = state.File("run" + std::to_string(++serial));
  outPath_ = base + ".out";
  errPath_ = base + ".err";

  std::vector<std::string> words = {KEP_SANDBOX, state.Path(), "--"};
  words.insert(words.end(), command.begin(), command.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ > 0) setpgid(pid_, pid_);  // either side may win the race
  if (pid_ < 0) done_ = true;
}

Run::~Run() {
  if (!done_) {
    kill(-pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool Run::Signal(int signalNumber) const { return !done_ && kill(pid_, signalNumber) == 0; }

void Run::Reap(int status) {
  done_ = true;
  if (WIFEXITED(status)) outcome_.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome_.signal = WTERMSIG(status);
}

bool Run::Running() {
  if (done_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) Reap(status);
  return !done_;
}

Outcome Run::Wait(double timeoutSeconds) {
  double deadline = Now() + timeoutSeconds;
  while (Running() && Now() < deadline) Pause(0.02);
  if (!done_) {
    outcome_.timedOut = true;
    kill(-pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Reap(status);
  }
  outcome_.out = Out();
  outcome_.err = Err();
  return outcome_;
}

std::vector<std::string> KepCommand(const std::vector<std::string> &args) {
  std::vector<std::string> command = {
      "env", "-i", "PATH=" KEP_BINARY_DIR ":/usr/sbin:/usr/bin:/sbin:/bin", KEP_BIN};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

Outcome RunKep(const State &state, const std::vector<std::string> &args, double timeoutSeconds) {
  Run run(state, KepCommand(args));
  return run.Wait(timeoutSeconds);
}

bool WaitUntil(const std::function<bool()> &condition, double timeoutSeconds) {
  double deadline = Now() + timeoutSeconds;
  while (!condition()) {
    if (Now() >= deadline) return false;
    Pause(0.02);
  }
  return true;
}

bool WaitForDlog(const State &state, const std::string &needle, double timeoutSeconds,
                 size_t count) {
  return WaitUntil([&] { return CountOf(state.Dlog(), needle) >= count; }, timeoutSeconds);
}

size_t CountOf(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ShellApp(const State &state, const std::string &name, const std::string &body) {
  return state.Write(name, "#!/bin/sh\n" + body, true);
}

}  // namespace e2e
