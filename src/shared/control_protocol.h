// What kep-ctl and kep say to each other over kep's control socket: one line
// each way. The format is described in docs/files.md.
#pragma once

#include <string>

// The control socket's name, beside the status file in kep's run-time folder.
inline constexpr const char *kKepControlSocketName = "control";
// No line of the protocol is longer (a name of up to 4095 bytes, escaped,
// fits with room to spare).
inline constexpr size_t kKepControlMaxLine = 16384;

struct KepControlRequest {
  std::string command;  // "stop", "start", "restart" or "signal"
  std::string name;     // as the operator gave it
  int signal = 0;       // for "signal": the signal's number
};

// The request's line, newline included.
std::string KepControlRequestLine(const KepControlRequest &request);
// Parses a request line (without its newline); false, with *error telling
// why, when it is not one.
bool KepParseControlRequest(const std::string &line, KepControlRequest *request,
                            std::string *error);

// How kep answers: done, refused (nothing was done) or failed (tried, and it
// went wrong).
enum class KepControlOutcome { kOk, kRefused, kFailed };

// The answer's line, newline included.
std::string KepControlAnswerLine(KepControlOutcome outcome, const std::string &text);
// Parses an answer line (without its newline); false when it is not one.
bool KepParseControlAnswer(const std::string &line, KepControlOutcome *outcome, std::string *text);

// A signal given as a name (HUP or SIGHUP) or a number; 0 when it is neither.
int KepSignalNumber(const std::string &text);
// "SIGHUP", or "signal 40" for one without a name.
std::string KepSignalName(int signal);
