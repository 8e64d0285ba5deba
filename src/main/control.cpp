// kep's control socket: kep-ctl's commands, one connection at a time and only
// from root. kep never waits on it: the kernel tells of a connection or of
// data with SIGIO, which cuts the pass's sleep short, and an idle kep makes
// no system call for it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "control_commands.h"
#include "kep_main.h"
#include "status_format.h"

namespace {

constexpr const char *kFn = "KepControl";
// A client that has connected has this long to send its command.
constexpr long long kKepCommandWithinUs = 5000000;

volatile int listener = -1;
volatile int clientFd = -1;
volatile sig_atomic_t woken = 0;
// A connection may be waiting that no SIGIO will tell of any more (it came
// while another was served).
bool acceptAgain = false;
std::string socketPath;

struct Client {
  uid_t uid = 0;
  pid_t pid = 0;
  std::string received;
  struct timeval since = {0, 0};
  std::string asked;  // the command, for the log
  bool underWay = false;
};
Client client;

// SIGIO from the kernel for the socket or the client (si_code > 0, with the
// descriptor): kep has something to read. Any other SIGIO is a stray one.
void SigIoHandler(int signalNumber, siginfo_t *info, void *context) {
  if (info != nullptr && info->si_code > 0 && info->si_fd >= 0 &&
      (info->si_fd == listener || info->si_fd == clientFd)) {
    woken = 1;
    return;
  }
  SigStrayHandler(signalNumber, info, context);
}

// Non-blocking, and SIGIO to kep with the descriptor when it can be read.
bool SignalDriven(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETOWN, getpid()) == 0 && fcntl(fd, F_SETSIG, SIGIO) == 0 &&
         fcntl(fd, F_SETFL, flags | O_NONBLOCK | O_ASYNC) == 0;
}

void Send(int fd, const std::string &line) {
  // A client that has gone away costs nothing but a failed send.
  ssize_t sent = send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)sent;
}

void CloseClient() {
  if (clientFd >= 0) close(clientFd);
  clientFd = -1;
  client = Client{};
  acceptAgain = true;
}

const char *OutcomeWord(KepControlOutcome outcome) {
  return outcome == KepControlOutcome::kOk        ? "done"
         : outcome == KepControlOutcome::kRefused ? "refused"
                                                  : "failed";
}

// The answer, and the command with its outcome as one line of kep's log.
void Answer(const KepControlResult &result) {
  Send(clientFd, KepControlAnswerLine(result.outcome, result.text));
  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): uid %u (pid %i) asked \"%s\": %s: %s.", kFn,
          static_cast<unsigned>(client.uid), static_cast<int>(client.pid), client.asked.c_str(),
          OutcomeWord(result.outcome), result.text.c_str());
  CloseClient();
}

void Take(const std::string &line) {
  KepControlRequest request;
  std::string error;
  if (!KepParseControlRequest(line, &request, &error)) {
    client.asked = "(a line kep does not know)";
    Answer({true, KepControlOutcome::kRefused, error});
    return;
  }
  client.asked = request.command + " ";
  KepStatusEscape(client.asked, request.name);
  if (request.command == "signal") client.asked += " " + KepSignalName(request.signal);
  KepControlResult result = KepControlBegin(request);
  if (result.done) {
    Answer(result);
  } else {
    client.underWay = true;
  }
}

bool TimedOut() {
  struct timeval now = {0, 0};
  KepGetUptime(&now);
  return (static_cast<long long>(now.tv_sec) - client.since.tv_sec) * 1000000LL +
             (now.tv_usec - client.since.tv_usec) >
         kKepCommandWithinUs;
}

// Reads what the client has sent; takes the command once its line is whole.
void Receive() {
  char buffer[512];
  for (;;) {
    ssize_t n = recv(clientFd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      client.received.append(buffer, static_cast<size_t>(n));
      size_t end = client.received.find('\n');
      if (end != std::string::npos) return Take(client.received.substr(0, end));
      if (client.received.size() <= kKepControlMaxLine) continue;
      client.asked = "(a line too long)";
      return Answer({true, KepControlOutcome::kRefused, "the line is too long"});
    }
    if (n < 0 && errno == EAGAIN && !TimedOut()) return;
    // Gone without a command, or silent for too long: nothing was asked.
    if (n != 0) Send(clientFd, KepControlAnswerLine(KepControlOutcome::kRefused, "no command"));
    return CloseClient();
  }
}

// One waiting connection: root's is read, anyone else's refused and logged.
void AcceptOne() {
  acceptAgain = false;
  int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  acceptAgain = true;
  struct ucred peer = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != 0) {
    Send(fd, KepControlAnswerLine(KepControlOutcome::kRefused, "only root may control kep"));
    close(fd);
    Log_Msg(LOG_MSG_WARNING, 1, kKepMainUnit,
            "%s(): refused a connection from uid %i (pid %i): only root may control kep.", kFn,
            static_cast<int>(peer.uid), static_cast<int>(peer.pid));
    return;
  }
  clientFd = fd;
  client.uid = peer.uid;
  client.pid = peer.pid;
  KepGetUptime(&client.since);
  SignalDriven(fd);
  Receive();
}

bool Listen(int fd, const struct sockaddr_un &address) {
  unlink(address.sun_path);  // a dead kep's: the instance lock keeps a live one away
  return bind(fd, reinterpret_cast<const struct sockaddr *>(&address), sizeof address) == 0 &&
         chmod(address.sun_path, 0666) == 0 && listen(fd, 8) == 0 && SignalDriven(fd);
}

}  // namespace

void KepControlOpen() {
  if (listener >= 0) return;
  socketPath = KepBesideStatusFile(kKepControlSocketName);
  if (socketPath.empty()) return;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    Log_Msg(LOG_MSG_ERROR, 1, kKepMainUnit, "%s(): %s is too long a path for a socket.", kFn,
            socketPath.c_str());
    return;
  }
  memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = SigIoHandler;
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: it must cut the sleep short
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || sigaction(SIGIO, &action, nullptr) != 0 || !Listen(fd, address)) {
    Log_Msg(LOG_MSG_ERROR, 1, kKepMainUnit,
            "%s(): cannot make the control socket %s (errno = %i): kep-ctl cannot reach kep.", kFn,
            socketPath.c_str(), errno);
    if (fd >= 0) close(fd);
    return;
  }
  listener = fd;
}

bool KepControlPass() {
  if (listener < 0) return false;
  bool wake = woken != 0;
  if (!wake && !acceptAgain && clientFd < 0) return false;
  woken = 0;
  if (client.underWay) {
    KepControlResult result = KepControlProgress();
    if (result.done) Answer(result);
  } else if (clientFd >= 0 && (wake || TimedOut())) {
    Receive();
  }
  if (clientFd < 0 && (wake || acceptAgain)) AcceptOne();
  return true;
}

void KepControlAbandon() {
  if (!client.underWay) return;
  KepControlDrop();
  Answer({true, KepControlOutcome::kFailed, "kep is stopping all applications"});
}

void KepControlClose() {
  if (listener < 0) return;
  if (client.underWay) {
    KepControlDrop();
    Answer({true, KepControlOutcome::kFailed, "kep is ending"});
  }
  if (clientFd >= 0) CloseClient();
  close(listener);
  listener = -1;
  unlink(socketPath.c_str());
}
