// What kep-ctl and kep say to each other, and kep-ctl against a stand-in for
// kep that answers as a script says.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control_protocol.h"
#include "kep_ctl.h"
#include "kep_test.h"

namespace {

// What is not a request is refused with the reason; signals go by name or
// number; an answer is one line whatever its text.
TEST(ControlProtocol, WhatIsNotARequestIsRefusedAndSignalsGoByNameOrNumber) {
  KepControlRequest request;
  std::string error;
  const struct {
    const char *line, *error;
  } bad[] = {
      {"reboot web", "unknown command"}, {"stop", "bad stop line"},
      {"stop a b", "bad stop line"},     {"start %G1", "bad start line"},
      {"signal web", "bad signal line"}, {"signal web 0", "bad signal"},
      {"signal web 65", "bad signal"},   {"signal web FOO", "bad signal"},
  };
  for (const auto &b : bad) {
    EXPECT_FALSE(KepParseControlRequest(b.line, &request, &error)) << b.line;
    EXPECT_EQ(error, b.error) << b.line;
  }
  ASSERT_TRUE(KepParseControlRequest("restart my%20app%25%0A", &request, &error));
  EXPECT_EQ(request.name, "my app%\n");
  const struct {
    const char *text;
    int number;
    const char *name;
  } signals[] = {
      {"HUP", SIGHUP, "SIGHUP"}, {"SIGTERM", SIGTERM, "SIGTERM"},
      {"9", SIGKILL, "SIGKILL"}, {"40", 40, "signal 40"},
      {"SIGFOO", 0, ""},         {"-1", 0, ""},
      {"0009", 0, ""},           {"", 0, ""},
  };
  for (const auto &s : signals) {
    EXPECT_EQ(KepSignalNumber(s.text), s.number) << s.text;
    if (s.number != 0) {
      EXPECT_EQ(KepSignalName(s.number), s.name);
    }
  }
  KepControlOutcome outcome;
  std::string text;
  ASSERT_TRUE(KepParseControlAnswer("refused web is running", &outcome, &text));
  EXPECT_TRUE(outcome == KepControlOutcome::kRefused && text == "web is running");
  EXPECT_FALSE(KepParseControlAnswer("maybe so", &outcome, &text));
  EXPECT_EQ(KepControlAnswerLine(KepControlOutcome::kOk, "a\nb"), "ok a b\n");
}

// A stand-in for kep on the socket beside dir's status file: one connection
// an answer, in order; an empty answer is never given (the connection is held
// until the client goes). What it received goes to dir/received.
pid_t ServeAnswers(const TempDir &dir, const std::vector<std::string> &answers) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.File("control").c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(listener, 8) != 0) {
    ADD_FAILURE() << "cannot listen at " << address.sun_path;
  }
  pid_t pid = fork();
  if (pid != 0) {
    close(listener);
    return pid;
  }
  FILE *received = fopen(dir.File("received").c_str(), "w");
  for (const std::string &answer : answers) {
    int fd = accept(listener, nullptr, nullptr);
    char line[256] = {};
    ssize_t n = read(fd, line, sizeof line - 1);
    fputs(n > 0 ? line : "(nothing)\n", received);
    fflush(received);
    if (!answer.empty()) {
      ssize_t sent = write(fd, answer.data(), answer.size());
      (void)sent;
    }
    while (answer.empty() && read(fd, line, sizeof line) > 0) {
    }
    close(fd);
  }
  _exit(0);
}

// kep-ctl: one exchange a name, in order, its answer printed; the worst
// outcome is the exit status, and a kep that is not there or does not answer
// ends the run.
TEST(KepCtl, AsksForEachNameAndExitsWithTheWorstOutcome) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> answers;  // of the stand-in; none: no kep
    int status;
    std::string received, shown;  // what kep got; a part of the output
  } cases[] = {
      {{"stop", "web"}, {"ok web stopped and held\n"}, 0, "stop web\n", "web stopped and held\n"},
      {{"start", "a", "b"},
       {"refused a is running\n", "ok b started\n"},
       1,
       "start a\nstart b\n",
       "b started\nkep-ctl: refused: a is running\n"},
      {{"-t", "1", "restart", "a", "b"}, {""}, 2, "restart a\n", "no answer from kep within 1 s"},
      {{"signal", "SIGHUP", "my app"}, {"failed gone\n"}, 1, "signal my%20app 1\n", "failed: gone"},
      {{"stop", "web"}, {"garbage\n"}, 2, "stop web\n", "an answer kep-ctl does not understand"},
      {{"stop", "web"}, {}, 2, "", "kep-ctl: kep is not running (nothing answers at "},
      {{}, {}, 64, "", "kep-ctl: no command\nUsage: kep-ctl"},
      {{"halt", "web"}, {}, 64, "", "unknown command halt"},
      {{"signal", "FOO", "web"}, {}, 64, "", "unknown signal FOO"},
      {{"restart"}, {}, 64, "", "restart needs a NAME"},
      {{"-t", "0", "stop", "web"}, {}, 64, "", "-t needs a number of seconds"},
      {{"-x", "stop", "web"}, {}, 64, "", "unknown option -x"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.shown);
    TempDir dir;
    pid_t kep = c.answers.empty() ? -1 : ServeAnswers(dir, c.answers);
    std::vector<std::string> args = {"kep-ctl", "-f", dir.File("status")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = RunTool(KepCtlMain, args);
    if (kep > 0) {
      kill(kep, SIGTERM);
      waitpid(kep, nullptr, 0);
    }
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(c.shown), std::string::npos) << run.out << run.err;
    EXPECT_EQ(FileExists(dir.File("received")) ? ReadFile(dir.File("received")) : "", c.received);
  }
}

}  // namespace
