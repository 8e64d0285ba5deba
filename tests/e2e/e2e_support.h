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
  // An executable shell script that runs in the state folder; returns its path.
  std::string Script(const std::string &name, const std::string &body) const {
    std::string path = Write(name, "#!/bin/sh\ncd \"${0%/*}\" || exit 99\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
};

struct Outcome {
  int exitCode = -1;  // -1 when it did not exit normally or was killed
  std::string out, err;
};

// A command in the sandbox, in a process group of its own, run in the state
// folder, its output in files. The sandbox ends only once no process is left in it.
class Run {
 public:
  Run(const State &state, std::vector<std::string> command) {
    static int serial = 0;
    out_ = state.File("run" + std::to_string(++serial));
    command.insert(command.begin(), {KEP_SANDBOX, state.Path(), "--"});
    std::vector<char *> argv;
    for (std::string &word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      if (chdir(state.Path().c_str()) != 0) _exit(125);
      const int flags = O_WRONLY | O_CREAT | O_TRUNC;
      for (int fd = 0; fd < 1024; ++fd) close(fd);  // no more than 0 to 2 (ctest keeps its log)
      if (open("/dev/null", O_RDONLY) != 0 || open((out_ + ".out").c_str(), flags, 0644) != 1 ||
          open((out_ + ".err").c_str(), flags, 0644) != 2)
        _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);  // either side may win the race
  }
  ~Run() { Wait(0); }
  Run(const Run &) = delete;
  Run &operator=(const Run &) = delete;

  // Waits at most timeoutSeconds, then kills the whole group (and so the sandbox).
  Outcome Wait(double timeoutSeconds) {
    int status = 0;
    auto ended = [&] { return pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == pid_; };
    if (!WaitUntil(ended, timeoutSeconds)) {
      kill(-pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (pid_ > 0 && WIFEXITED(status)) outcome_.exitCode = WEXITSTATUS(status);
    pid_ = -1;
    outcome_.out = ReadFile(out_ + ".out");
    outcome_.err = ReadFile(out_ + ".err");
    return outcome_;
  }

 private:
  pid_t pid_ = -1;
  Outcome outcome_;
  std::string out_;
};

// Gives path (a link itself, not what it names) to another user, so that kep,
// root in the sandbox, finds a link that neither root nor its folder's owner
// made. Only root can: false when the test runs as another user, whose files
// are all root's inside the sandbox.
inline bool GiveToAnotherUser(const std::string &path) {
  return geteuid() == 0 && lchown(path.c_str(), 1000, 1000) == 0;
}

// kep (or the program given) with these arguments, in an emptied environment
// whose PATH finds the test tools and the test application.
inline std::vector<std::string> KepCommand(const std::vector<std::string> &args,
                                           const std::string &program = KEP_BIN) {
  const std::string app = KEP_TEST_APP;
  std::vector<std::string> command = {
      "env", "-i",
      "PATH=" KEP_BINARY_DIR ":" + app.substr(0, app.rfind('/')) + ":/usr/sbin:/usr/bin:/sbin:/bin",
      program};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

// An application block of a configuration.
inline std::string Application(const std::string &path, const std::string &keywords) {
  return "application " + path + " {\n" + keywords + "}\n";
}

// The words of command as one line of a shell script.
inline std::string ShellWords(const std::vector<std::string> &command) {
  std::string line;
  for (const std::string &word : command) line += "'" + word + "' ";
  return line;
}

// kep on conf, at log level info, as one line of a shell script.
inline std::string KepLine(const std::string &conf) {
  return ShellWords(KepCommand({"-c", conf, "-l", "40"}));
}

// Ends the program with the skip status (77) when the sandbox cannot work here,
// so that ctest reports the suite as skipped, not passed.
struct SandboxCheck : ::testing::Environment {
  void SetUp() override {
    State state;
    Outcome probe = Run(state, {"true"}).Wait(60);
    if (probe.exitCode != 77) return;
    fprintf(stderr, "kep end-to-end tests skipped: the sandbox cannot run here: %s\n",
            probe.err.c_str());
    exit(77);
  }
};
inline auto *const sandboxCheck = ::testing::AddGlobalTestEnvironment(new SandboxCheck);

}  // namespace e2e
