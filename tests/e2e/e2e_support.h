// The vocabulary of kep's end-to-end tests: the real kep binary runs inside
// tools/sandbox, which gives it its own /etc (an overlay whose writes land in
// the state folder), /var/local and /var/log (folders of the state folder) and
// recording stubs of passwd and reboot.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "kep_test.h"

namespace e2e {

// Exit status of the sandbox when the host forbids user namespaces.
inline constexpr int kSandboxUnavailable = 77;

// Empty when the sandbox works on this host; otherwise why it does not. Found
// out once per test program.
const std::string &SandboxUnavailableReason();

// Skips the current test (with the reason) when the sandbox cannot run here.
#define KEP_E2E_REQUIRE_SANDBOX()                                                   \
  do {                                                                              \
    if (!::e2e::SandboxUnavailableReason().empty())                                 \
      GTEST_SKIP() << "sandbox unavailable: " << ::e2e::SandboxUnavailableReason(); \
  } while (0)

// A state folder for one test, with the paths the sandbox maps into it.
class State {
 public:
  State();
  const std::string &Path() const { return dir_.Path(); }
  // Where the sandbox keeps a file that kep sees at the absolute path inside.
  std::string Inside(const std::string &absolutePath) const;
  std::string DlogPath() const { return Inside("/var/log/dlog.log"); }
  std::string Dlog() const { return ReadFile(DlogPath()); }
  // Lines the recording stubs wrote, one per call (its arguments; empty for none).
  std::vector<std::string> PasswdCalls() const;
  std::vector<std::string> RebootCalls() const;
  // A file outside the sandbox's mapped folders, for scripts and configurations.
  std::string Write(const std::string &name, const std::string &text,
                    bool executable = false) const;
  std::string File(const std::string &name) const { return files_.File(name); }

 private:
  TempDir dir_;
  TempDir files_;
};

struct Outcome {
  bool timedOut = false;  // the bound ran out and the run was killed
  int exitCode = -1;      // exit status, or -1 when it did not exit normally
  int signal = 0;         // signal that ended it, 0 if none
  std::string out;
  std::string err;
};

// A command running in the sandbox in a process group of its own, its output
// collected in files.
class Run {
 public:
  Run(const State &state, const std::vector<std::string> &command);
  ~Run();  // kills a run still going
  Run(const Run &) = delete;
  Run &operator=(const Run &) = delete;

  pid_t Pid() const { return pid_; }
  // Signals the sandbox's process, which passes it on to the command.
  bool Signal(int signalNumber) const;
  // True while the run has not ended.
  bool Running();
  // Waits at most timeoutSeconds for the end; kills the whole group when the
  // bound runs out.
  Outcome Wait(double timeoutSeconds);
  std::string Out() const { return ReadFile(outPath_); }
  std::string Err() const { return ReadFile(errPath_); }

 private:
  void Reap(int status);

  pid_t pid_ = -1;
  bool done_ = false;
  Outcome outcome_;
  std::string outPath_;
  std::string errPath_;
};

// kep inside the sandbox with these arguments (the environment is emptied but for
// a PATH that finds the test tools); waits at most timeoutSeconds.
Outcome RunKep(const State &state, const std::vector<std::string> &args, double timeoutSeconds);
std::vector<std::string> KepCommand(const std::vector<std::string> &args);

// Polls condition every 20 ms until it holds or timeoutSeconds pass.
bool WaitUntil(const std::function<bool()> &condition, double timeoutSeconds);
// Waits until the debug log holds needle at least count times.
bool WaitForDlog(const State &state, const std::string &needle, double timeoutSeconds,
                 size_t count = 1);

size_t CountOf(const std::string &text, const std::string &needle);
std::vector<std::string> Lines(const std::string &text);

// A shell-script application (the shell's path is prepended).
std::string ShellApp(const State &state, const std::string &name, const std::string &body);

}  // namespace e2e
