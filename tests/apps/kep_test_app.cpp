// kep-test-app [-p] DUMP [PROGRAM [ARG...]]: writes to DUMP what kep started
// it with (open descriptors, blocked and ignored signals, arguments,
// environment, whether it leads its session and process group, umask), one
// item a line, with -p also its ids, capabilities, no-new-privileges, limits,
// nice, working folder and whether it may bind port 80; then executes PROGRAM
// with the arguments that follow, or sleeps until a signal ends it.
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// What -p adds: the rest of what kep set up for the application.
void DumpPrivileges(std::ostringstream &text) {
  for (const auto &[name, resource] : {std::pair{"nofile", RLIMIT_NOFILE}, {"core", RLIMIT_CORE}}) {
    struct rlimit limit;
    getrlimit(resource, &limit);
    text << "limit " << name << " " << static_cast<long long>(limit.rlim_cur) << " "
         << static_cast<long long>(limit.rlim_max) << "\n";
  }
  char cwd[4096] = "";
  text << "nice " << getpriority(PRIO_PROCESS, 0) << "\ncwd " << getcwd(cwd, sizeof cwd) << "\n";
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  text << "bind 80: "
       << (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ? "done"
                                                                                 : strerror(errno))
       << "\n";
  close(fd);
}

}  // namespace

int main(int argc, char **argv) {
  const bool privileges = argc > 1 && strcmp(argv[1], "-p") == 0;
  char **args = argv + (privileges ? 1 : 0);
  if (argc - (privileges ? 1 : 0) < 2) return 2;
  std::ostringstream text;
  // Descriptors first, before any of its own is opened.
  DIR *dir = opendir("/proc/self/fd");
  while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
    if (entry->d_name[0] != '.' && atoi(entry->d_name) != dirfd(dir))
      text << "fd " << entry->d_name << "\n";
  }
  if (dir != nullptr) closedir(dir);
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) text << line << "\n";
    for (const char *key : {"Uid:", "Gid:", "Groups:", "NoNewPrivs:", "CapEff:", "CapAmb:"}) {
      if (privileges && line.rfind(key, 0) == 0) text << line << "\n";
    }
  }
  for (char **arg = argv; *arg != nullptr; ++arg) text << "arg " << *arg << "\n";
  for (char **env = environ; *env != nullptr; ++env) text << "env " << *env << "\n";
  mode_t mask = umask(0);
  umask(mask);
  text << "leader " << (getsid(0) == getpid()) << " " << (getpgrp() == getpid()) << "\numask "
       << std::oct << mask << std::dec << "\n";
  if (privileges) DumpPrivileges(text);
  std::ofstream(args[1]) << text.str();
  if (args[2] != nullptr) execv(args[2], args + 2);
  for (;;) pause();
}
