// kep-ctl: the options, one exchange with kep per application, the exit
// status.
#include "kep_ctl.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control_protocol.h"
#include "status_format.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;
constexpr int kExitNoKep = 2;
constexpr int kExitUsage = 64;
// The wait for an answer without -t: what the status file says a command can
// take, and this much more; this long when it says nothing; a signal's.
constexpr long kWaitMarginSeconds = 10;
constexpr long kWaitUnknownSeconds = 120;
constexpr long kWaitSignalSeconds = 10;
constexpr long kWaitMaxSeconds = 86400;

void PrintUsage(FILE *out) {
  fputs(
      "Usage: kep-ctl [-t SECONDS] [-f FILE] stop|start|restart NAME...\n"
      "       kep-ctl [-t SECONDS] [-f FILE] signal SIG NAME...\n"
      "\n"
      "Asks the running kep to act on applications, one after the other, and\n"
      "prints its answers:\n"
      "  stop     stops the application as kep stops one and holds it stopped:\n"
      "           no death action, no restart, until it is started again\n"
      "  start    starts a held, ended or failed application\n"
      "  restart  stop, then start\n"
      "  signal   sends SIG (a name such as HUP or SIGHUP, or a number) to it\n"
      "  -t SECONDS  wait that long for each answer (default: as long as kep's\n"
      "              configuration lets a stop and a start take, from the\n"
      "              status file)\n"
      "  -f FILE     the status file of the kep to ask (default /run/kep/status);\n"
      "              the control socket is beside it\n"
      "  NAME        the configured name or its last part, when that is unique\n"
      "\n"
      "Only root may control kep. Exit status: 0 every command done; 1 one was\n"
      "refused or failed; 2 kep is not running or did not answer; 64 bad usage.\n",
      out);
}

int Usage(FILE *err, const std::string &problem) {
  fprintf(err, "kep-ctl: %s\n", problem.c_str());
  PrintUsage(err);
  return kExitUsage;
}

struct Options {
  const char *path = kKepStatusFilePath;
  long timeout = -1;  // seconds; -1: from the status file
  KepControlRequest request;
  std::vector<std::string> names;
};

bool ParseSeconds(const char *text, long *seconds) {
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > kWaitMaxSeconds)
    return false;
  *seconds = value;
  return true;
}

// The value of an option given as -xVALUE or -x VALUE; null when missing.
const char *OptionValue(int argc, char **argv, int *i) {
  const char *arg = argv[*i];
  if (arg[2] != '\0') return arg + 2;
  return *i + 1 < argc ? argv[++*i] : nullptr;
}

// The options, then the command and its words; -1 to go on, else the exit
// status (help, usage).
int ParseArguments(int argc, char **argv, FILE *out, FILE *err, Options *options) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      PrintUsage(out);
      return 0;
    }
    const char *value = arg[1] == 't' || arg[1] == 'f' ? OptionValue(argc, argv, &i) : nullptr;
    if (arg[1] == 't' && (value == nullptr || !ParseSeconds(value, &options->timeout)))
      return Usage(err, "-t needs a number of seconds from 1 to 86400");
    if (arg[1] == 'f' && (value == nullptr || *value == '\0')) return Usage(err, "-f needs a file");
    if (arg[1] == 'f') options->path = value;
    if (arg[1] != 't' && arg[1] != 'f') return Usage(err, std::string("unknown option ") + arg);
  }
  if (i == argc) return Usage(err, "no command");
  KepControlRequest &request = options->request;
  request.command = argv[i++];
  if (request.command != "stop" && request.command != "start" && request.command != "restart" &&
      request.command != "signal") {
    return Usage(err, "unknown command " + request.command);
  }
  if (request.command == "signal") {
    if (i == argc) return Usage(err, "signal needs a signal");
    request.signal = KepSignalNumber(argv[i]);
    if (request.signal == 0) return Usage(err, std::string("unknown signal ") + argv[i]);
    ++i;
  }
  for (; i < argc; ++i) options->names.push_back(argv[i]);
  if (options->names.empty()) return Usage(err, request.command + " needs a NAME");
  return -1;
}

// How long to wait for each answer.
long WaitSeconds(const Options &options) {
  if (options.timeout > 0) return options.timeout;
  if (options.request.command == "signal") return kWaitSignalSeconds;
  std::string text, problem;
  time_t mtime = 0;
  KepStatusData data;
  if (!KepReadStatusFile(options.path, &text, &mtime, &problem) ||
      !KepParseStatus(text, &data, &problem) || data.ctlWait == 0) {
    return kWaitUnknownSeconds;
  }
  return static_cast<long>(data.ctlWait) + kWaitMarginSeconds;
}

std::string SocketBeside(const std::string &statusFile) {
  size_t slash = statusFile.rfind('/');
  return statusFile.substr(0, slash == std::string::npos ? 0 : slash + 1) + kKepControlSocketName;
}

long long MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Reads one line from fd within seconds; false, with *problem, when none came.
bool ReadLine(int fd, long seconds, std::string *line, std::string *problem) {
  const long long deadline = MonotonicMs() + seconds * 1000LL;
  char buffer[512];
  for (;;) {
    size_t end = line->find('\n');
    if (end != std::string::npos) {
      line->resize(end);
      return true;
    }
    long long left = deadline - MonotonicMs();
    struct pollfd wait = {fd, POLLIN, 0};
    int ready = left > 0 ? poll(&wait, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      *problem = "no answer from kep within " + std::to_string(seconds) +
                 " s: the command may still be under way (kep-status shows it)";
      return false;
    }
    ssize_t n = ready < 0 ? -1 : read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || line->size() > kKepControlMaxLine) {
      *problem = n < 0 ? std::string("reading kep's answer: ") + strerror(errno)
                       : "kep closed the connection without an answer";
      return false;
    }
    line->append(buffer, static_cast<size_t>(n));
  }
}

// Connects to the socket at path; -1, with *problem, when kep is not there.
int Connect(const std::string &path, std::string *problem) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *problem = path + ": too long a path for a socket";
    return -1;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0) {
    return fd;
  }
  int error = errno;
  if (fd >= 0) close(fd);
  *problem = error == ENOENT || error == ECONNREFUSED
                 ? "kep is not running (nothing answers at " + path + ")"
                 : path + ": " + strerror(error);
  return -1;
}

// One command to kep and its answer: the exit status it stands for.
int Ask(const std::string &socket, const KepControlRequest &request, long seconds, FILE *out,
        FILE *err) {
  std::string problem, line;
  int fd = Connect(socket, &problem);
  if (fd < 0) {
    fprintf(err, "kep-ctl: %s\n", problem.c_str());
    return kExitNoKep;
  }
  const std::string sent = KepControlRequestLine(request);
  bool delivered =
      send(fd, sent.data(), sent.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(sent.size());
  std::string sendProblem = delivered ? "" : std::string("sending the command: ") + strerror(errno);
  // kep may have answered (a refusal) and closed before the command went out:
  // its answer is read all the same.
  bool ok = ReadLine(fd, seconds, &line, &problem);
  if (!ok && !delivered) problem = sendProblem;
  close(fd);
  KepControlOutcome outcome = KepControlOutcome::kFailed;
  std::string text;
  if (ok && !KepParseControlAnswer(line, &outcome, &text)) {
    ok = false;
    problem = "an answer kep-ctl does not understand: " + line;
  }
  if (!ok) {
    fprintf(err, "kep-ctl: %s\n", problem.c_str());
    return kExitNoKep;
  }
  if (outcome == KepControlOutcome::kOk) {
    fprintf(out, "%s\n", text.c_str());
    return kExitDone;
  }
  fprintf(err, "kep-ctl: %s: %s\n", outcome == KepControlOutcome::kRefused ? "refused" : "failed",
          text.c_str());
  return kExitRefused;
}

}  // namespace

int KepCtlMain(int argc, char **argv, FILE *out, FILE *err) {
  Options options;
  int status = ParseArguments(argc, argv, out, err, &options);
  if (status >= 0) return status;
  const std::string socket = SocketBeside(options.path);
  const long seconds = WaitSeconds(options);
  status = kExitDone;
  for (const std::string &name : options.names) {
    KepControlRequest request = options.request;
    request.name = name;
    int asked = Ask(socket, request, seconds, out, err);
    if (asked > status) status = asked;
    if (asked == kExitNoKep) break;  // the next would fare no better
  }
  return status;
}
