// Shared helpers of kep's tests: log capture, temporary folders, a clean model.
#pragma once

#include <signal.h>
#include <stdio.h>

#include <string>
#include <vector>

struct LogLine {
  int level;
  int notice;
  std::string file;
  std::string text;
};

// Records every Log_Msg for its lifetime (through the logging hook); one at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  const std::vector<LogLine> &Lines() const;
  std::vector<std::string> Texts() const;
  // Number of lines whose text contains needle.
  size_t Count(const std::string &needle) const;
  bool Contains(const std::string &needle) const { return Count(needle) > 0; }
  void Clear();
  // Every line, one per row, for assertion messages.
  std::string Dump() const;
};

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }
  // Writes text to File(name) and returns its path.
  std::string Write(const std::string &name, const std::string &text) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string &path);
// How often needle occurs in text, overlaps included.
size_t CountOf(const std::string &text, const std::string &needle);
bool FileExists(const std::string &path);

// Sets a global to value for the guard's life and puts back what it held, also
// when a failing assertion ends the test early.
template <typename T>
class Restore {
 public:
  Restore(T &variable, T value) : variable_(variable), saved_(variable) { variable = value; }
  ~Restore() { variable_ = saved_; }
  Restore(const Restore &) = delete;
  Restore &operator=(const Restore &) = delete;

 private:
  T &variable_;
  T saved_;
};

// Every signal's action as it was when made, put back at the end.
class SignalsRestored {
 public:
  SignalsRestored();
  ~SignalsRestored();
  SignalsRestored(const SignalsRestored &) = delete;
  SignalsRestored &operator=(const SignalsRestored &) = delete;

 private:
  struct sigaction saved_[65];
};

// Empties the application list and the global environment and puts the default
// settings back.
void ResetModel();

// A tool's main (argv, standard output, standard error) run in this process.
struct ToolRun {
  int status;
  std::string out, err;
};
ToolRun RunTool(int (*toolMain)(int, char **, FILE *, FILE *), std::vector<std::string> argv);
