#include "kep_test.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ZelLog.h"
#include "kep_config.h"

namespace {
std::vector<LogLine> captured;

void CaptureHook(int level, int notice, const char *file, const char *text) {
  captured.push_back({level, notice, file != nullptr ? file : "", text != nullptr ? text : ""});
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }
}  // namespace

LogCapture::LogCapture() {
  captured.clear();
  Log_SetExtLogFn(CaptureHook);
}
LogCapture::~LogCapture() { Log_SetExtLogFn(nullptr); }
const std::vector<LogLine> &LogCapture::Lines() const { return captured; }
std::vector<std::string> LogCapture::Texts() const {
  std::vector<std::string> texts;
  for (const LogLine &line : captured) texts.push_back(line.text);
  return texts;
}
size_t LogCapture::Count(const std::string &needle) const {
  size_t n = 0;
  for (const LogLine &line : captured) n += line.text.find(needle) != std::string::npos;
  return n;
}
void LogCapture::Clear() { captured.clear(); }
std::string LogCapture::Dump() const {
  std::string all;
  for (const LogLine &line : captured)
    all += "[" + std::to_string(line.level) + "] " + line.text + "\n";
  return all;
}

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string templ =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kep-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}
TempDir::~TempDir() { nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }
std::string TempDir::Write(const std::string &name, const std::string &text) const {
  std::string path = File(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t CountOf(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

bool FileExists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

SignalsRestored::SignalsRestored() {
  for (int s = 1; s < NSIG && s < 65; ++s) sigaction(s, nullptr, &saved_[s]);
}
SignalsRestored::~SignalsRestored() {
  for (int s = 1; s < NSIG && s < 65; ++s) sigaction(s, &saved_[s], nullptr);
}

void ResetModel() {
  KepDeallocateAppList();
  KepResetSettings();
}

ToolRun RunTool(int (*toolMain)(int, char **, FILE *, FILE *), std::vector<std::string> args) {
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  char *outText = nullptr, *errText = nullptr;
  size_t outSize = 0, errSize = 0;
  FILE *out = open_memstream(&outText, &outSize), *err = open_memstream(&errText, &errSize);
  ToolRun run;
  run.status = toolMain(static_cast<int>(args.size()), argv.data(), out, err);
  fclose(out);
  fclose(err);
  run.out.assign(outText, outSize);
  run.err.assign(errText, errSize);
  free(outText);
  free(errText);
  return run;
}
