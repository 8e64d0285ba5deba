#include "control_protocol.h"

#include <signal.h>
#include <stdlib.h>

#include <vector>

#include "status_format.h"

namespace {

const struct {
  int number;
  const char *name;
} kSignals[] = {
    {SIGHUP, "HUP"},   {SIGINT, "INT"},       {SIGQUIT, "QUIT"}, {SIGILL, "ILL"},
    {SIGTRAP, "TRAP"}, {SIGABRT, "ABRT"},     {SIGBUS, "BUS"},   {SIGFPE, "FPE"},
    {SIGKILL, "KILL"}, {SIGUSR1, "USR1"},     {SIGSEGV, "SEGV"}, {SIGUSR2, "USR2"},
    {SIGPIPE, "PIPE"}, {SIGALRM, "ALRM"},     {SIGTERM, "TERM"}, {SIGSTKFLT, "STKFLT"},
    {SIGCHLD, "CHLD"}, {SIGCONT, "CONT"},     {SIGSTOP, "STOP"}, {SIGTSTP, "TSTP"},
    {SIGTTIN, "TTIN"}, {SIGTTOU, "TTOU"},     {SIGURG, "URG"},   {SIGXCPU, "XCPU"},
    {SIGXFSZ, "XFSZ"}, {SIGVTALRM, "VTALRM"}, {SIGPROF, "PROF"}, {SIGWINCH, "WINCH"},
    {SIGIO, "IO"},     {SIGPWR, "PWR"},       {SIGSYS, "SYS"},
};

const struct {
  KepControlOutcome outcome;
  const char *word;
} kOutcomes[] = {
    {KepControlOutcome::kOk, "ok"},
    {KepControlOutcome::kRefused, "refused"},
    {KepControlOutcome::kFailed, "failed"},
};

bool IsCommand(const std::string &word) {
  return word == "stop" || word == "start" || word == "restart" || word == "signal";
}

// The line's words, split at single spaces.
std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> words;
  size_t at = 0;
  for (;;) {
    size_t end = line.find(' ', at);
    words.push_back(line.substr(at, end == std::string::npos ? end : end - at));
    if (end == std::string::npos) return words;
    at = end + 1;
  }
}

}  // namespace

std::string KepControlRequestLine(const KepControlRequest &request) {
  std::string line = request.command + " ";
  KepStatusEscape(line, request.name);
  if (request.command == "signal") line += " " + std::to_string(request.signal);
  return line + "\n";
}

bool KepParseControlRequest(const std::string &line, KepControlRequest *request,
                            std::string *error) {
  std::vector<std::string> words = Words(line);
  *request = KepControlRequest{};
  if (!IsCommand(words[0])) {
    *error = "unknown command";
    return false;
  }
  request->command = words[0];
  size_t expected = request->command == "signal" ? 3 : 2;
  if (words.size() != expected || !KepStatusUnescape(words[1], &request->name) ||
      request->name.empty()) {
    *error = "bad " + request->command + " line";
    return false;
  }
  if (expected == 3) {
    request->signal = KepSignalNumber(words[2]);
    if (request->signal == 0) {
      *error = "bad signal";
      return false;
    }
  }
  return true;
}

std::string KepControlAnswerLine(KepControlOutcome outcome, const std::string &text) {
  std::string line;
  for (const auto &entry : kOutcomes)
    if (entry.outcome == outcome) line = entry.word;
  // The text is for people: a line break in it (from a name) must not end
  // the answer early.
  line += ' ';
  for (char c : text) line += c == '\n' || c == '\r' ? ' ' : c;
  return line + "\n";
}

bool KepParseControlAnswer(const std::string &line, KepControlOutcome *outcome, std::string *text) {
  size_t space = line.find(' ');
  if (space == std::string::npos) return false;
  for (const auto &entry : kOutcomes) {
    if (line.compare(0, space, entry.word) != 0) continue;
    *outcome = entry.outcome;
    *text = line.substr(space + 1);
    return true;
  }
  return false;
}

int KepSignalNumber(const std::string &text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() > 3) return 0;
    int number = atoi(text.c_str());
    return number > 0 && number < NSIG ? number : 0;
  }
  std::string name = text.compare(0, 3, "SIG") == 0 ? text.substr(3) : text;
  for (const auto &entry : kSignals)
    if (name == entry.name) return entry.number;
  return 0;
}

std::string KepSignalName(int signal) {
  for (const auto &entry : kSignals)
    if (signal == entry.number) return std::string("SIG") + entry.name;
  return "signal " + std::to_string(signal);
}
