// The vocabulary of kep's end-to-end tests: the real kep binary runs inside
// tools/sandbox, which gives it its own /etc (an overlay whose writes land in
// the state folder), /var/local and /var/log (folders of the state folder) and
// recording stubs of passwd and reboot. Where the host forbids the sandbox the
// program ends with status 77 (skipped) before any test runs.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kep_test.h"

namespace e2e {

inline size_t CountOf(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Polls condition every 20 ms until it holds or timeoutSeconds pass.
inline bool WaitUntil(const std::function<bool()> &condition, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A state folder for one scenario; the test's scripts, configurations and
// records live in it too, at paths that the sandbox leaves as they are.
class State : public TempDir {
 public:
  // Where the sandbox keeps a file that kep sees at absolutePath.
  std::string Inside(const std::string &absolutePath) const { return Path() + absolutePath; }
  std::string Dlog() const { return ReadFile(Inside("/var/log/dlog.log")); }
  // The arguments of each call of a recording stub ("passwd" or "reboot").
  std::vector<std::string> Calls(const std::string &stub) const {
    return Lines(ReadFile(File(stub + ".calls")));
  }
  // An executable shell script; returns its path.
  std::string Script(const std::string &name, const std::string &body) const {
    std::string path = Write(name, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
};

struct Outcome {
  bool timedOut = false;  // the bound ran out and the run was killed
  int exitCode = -1;      // -1 when it did not exit normally
  std::string out, err;
};

// A command in the sandbox, in a process group of its own. The sandbox ends
// only once no process is left in it; signals sent to it go on to the command.
class Run {
 public:
  Run(const State &state, std::vector<std::string> command) {
    static int serial = 0;
    outPath_ = state.File("run" + std::to_string(++serial));
    command.insert(command.begin(), {KEP_SANDBOX, state.Path(), "--"});
    std::vector<char *> argv;
    for (std::string &word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int in = open("/dev/null", O_RDONLY);
      int out = open((outPath_ + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open((outPath_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);  // either side may win the race
    done_ = pid_ < 0;
  }
  ~Run() {
    if (!done_) Kill();
  }
  Run(const Run &) = delete;
  Run &operator=(const Run &) = delete;

  bool Signal(int signalNumber) const { return !done_ && kill(pid_, signalNumber) == 0; }
  bool Running() {
    int status = 0;
    if (!done_ && waitpid(pid_, &status, WNOHANG) == pid_) Finish(status);
    return !done_;
  }
  // Waits at most timeoutSeconds, then kills the whole group.
  Outcome Wait(double timeoutSeconds) {
    if (!WaitUntil([this] { return !Running(); }, timeoutSeconds)) {
      outcome_.timedOut = true;
      Kill();
    }
    outcome_.out = ReadFile(outPath_ + ".out");
    outcome_.err = ReadFile(outPath_ + ".err");
    return outcome_;
  }

 private:
  void Kill() {
    kill(-pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Finish(status);
  }
  void Finish(int status) {
    done_ = true;
    if (WIFEXITED(status)) outcome_.exitCode = WEXITSTATUS(status);
  }

  pid_t pid_ = -1;
  bool done_ = false;
  Outcome outcome_;
  std::string outPath_;
};

// kep with these arguments, in an emptied environment whose PATH finds the test tools.
inline std::vector<std::string> KepCommand(const std::vector<std::string> &args) {
  std::vector<std::string> command = {
      "env", "-i", "PATH=" KEP_BINARY_DIR ":/usr/sbin:/usr/bin:/sbin:/bin", KEP_BIN};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

inline Outcome RunKep(const State &state, const std::vector<std::string> &args, double seconds) {
  return Run(state, KepCommand(args)).Wait(seconds);
}

// Ends the program with the skip status (77) when the sandbox cannot work here,
// so that ctest reports the suite as skipped, not passed.
class SandboxCheck : public ::testing::Environment {
 public:
  void SetUp() override {
    State state;
    Outcome probe = Run(state, {"true"}).Wait(60);
    if (probe.exitCode != 77) return;
    fprintf(stderr, "kep end-to-end tests skipped: the sandbox cannot run here: %s\n",
            probe.err.c_str());
    fflush(nullptr);
    exit(77);
  }
};

inline ::testing::Environment *const sandboxCheck =
    ::testing::AddGlobalTestEnvironment(new SandboxCheck);

}  // namespace e2e
