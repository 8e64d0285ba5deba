// kep-test-app DUMP [PROGRAM [ARG...]]: writes to DUMP what kep started it
// with (open descriptors, blocked and ignored signals, arguments, environment,
// whether it leads its session and process group, umask), one item a line,
// then executes PROGRAM with the arguments that follow, or sleeps until a
// signal ends it.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
  if (argc < 2) return 2;
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
  }
  for (char **arg = argv; *arg != nullptr; ++arg) text << "arg " << *arg << "\n";
  for (char **env = environ; *env != nullptr; ++env) text << "env " << *env << "\n";
  mode_t mask = umask(0);
  umask(mask);
  text << "leader " << (getsid(0) == getpid()) << " " << (getpgrp() == getpid()) << "\numask "
       << std::oct << mask << "\n";
  std::ofstream(argv[1]) << text.str();
  if (argc > 2) execv(argv[2], argv + 2);
  for (;;) pause();
}
