// The status file read defensively and parsed strictly; the format is in
// docs/files.md.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <map>

#include "status_format.h"
#include "zel_files.h"

namespace {

// A status line takes some 200 bytes an application.
constexpr size_t kMaxFileSize = 4 * 1024 * 1024;

// One line: a kind word, then key=value words, single spaces apart.
class Line {
 public:
  Line(const std::string &text, size_t number) : number_(number) {
    size_t at = text.find(' ');
    kind_ = text.substr(0, at);
    while (at != std::string::npos && ok_) {
      size_t end = text.find(' ', at + 1);
      std::string word = text.substr(at + 1, end == std::string::npos ? end : end - at - 1);
      size_t equals = word.find('=');
      std::string value;
      ok_ = equals != std::string::npos && equals > 0 &&
            KepStatusUnescape(word.substr(equals + 1), &value);
      if (ok_) values_[word.substr(0, equals)] = value;
      at = end;
    }
  }
  bool Words(std::string *error) const {
    if (!ok_) *error = "line " + std::to_string(number_) + ": not key=value words";
    return ok_;
  }
  const std::string &Kind() const { return kind_; }
  bool Has(const char *key) const { return values_.count(key) != 0; }

  bool Text(const char *key, std::string *out, std::string *error) const {
    auto found = values_.find(key);
    if (found != values_.end()) {
      *out = found->second;
      return true;
    }
    *error = "line " + std::to_string(number_) + ": no " + key;
    return false;
  }
  template <typename T>
  bool Number(const char *key, T *out, std::string *error) const {
    std::string text;
    if (!Text(key, &text, error)) return false;
    unsigned long long value = 0;
    if (!Digits(text, &value) ||
        value > static_cast<unsigned long long>(std::numeric_limits<T>::max())) {
      return Bad(key, error);
    }
    *out = static_cast<T>(value);
    return true;
  }
  bool Time(const char *key, struct timeval *out, std::string *error) const {
    std::string text;
    if (!Text(key, &text, error)) return false;
    size_t dot = text.find('.');
    unsigned long long seconds = 0, micro = 0;
    if (dot == std::string::npos || text.size() - dot != 7 ||
        !Digits(text.substr(0, dot), &seconds) || !Digits(text.substr(dot + 1), &micro) ||
        seconds > static_cast<unsigned long long>(std::numeric_limits<time_t>::max())) {
      return Bad(key, error);
    }
    out->tv_sec = static_cast<time_t>(seconds);
    out->tv_usec = static_cast<suseconds_t>(micro);
    return true;
  }

 private:
  static bool Digits(const std::string &text, unsigned long long *value) {
    if (text.empty() || text.size() > 19) return false;
    *value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      *value = *value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
  }
  bool Bad(const char *key, std::string *error) const {
    *error = "line " + std::to_string(number_) + ": bad " + key;
    return false;
  }

  size_t number_;
  bool ok_ = true;
  std::string kind_;
  std::map<std::string, std::string> values_;
};

bool ParseHeader(const Line &line, KepStatusData *d, size_t *apps, std::string *error) {
  if (line.Kind() != "kep") {
    *error = "line 2: no kep line";
    return false;
  }
  return line.Words(error) && line.Number("pid", &d->pid, error) &&
         line.Number("start", &d->start, error) && line.Text("boot", &d->boot, error) &&
         line.Time("started", &d->started, error) && line.Time("written", &d->written, error) &&
         line.Text("state", &d->state, error) && line.Text("stop", &d->stop, error) &&
         line.Text("stopApp", &d->stopApp, error) && line.Text("config", &d->config, error) &&
         line.Number("apps", apps, error) &&
         (!line.Has("ctlWait") || line.Number("ctlWait", &d->ctlWait, error));
}

bool ParseApp(const Line &line, KepStatusApp *a, std::string *error) {
  unsigned long disabled = 0;
  if (!line.Words(error) || !line.Text("name", &a->name, error) ||
      !line.Text("state", &a->state, error) || !line.Number("pid", &a->pid, error) ||
      !line.Number("disabled", &disabled, error) || !line.Number("level", &a->level, error) ||
      !line.Time("exec", &a->exec, error) || !line.Number("starts", &a->starts, error) ||
      !line.Text("exit", &a->exit, error) || !line.Time("exitAt", &a->exitAt, error) ||
      !line.Number("deaths", &a->deaths, error) || !line.Text("wait", &a->wait, error) ||
      !line.Text("wd", &a->wd, error)) {
    return false;
  }
  if ((line.Has("pstart") && !line.Number("pstart", &a->pstart, error)) ||
      (line.Has("stop") && !line.Text("stop", &a->stopFile, error)) ||
      (line.Has("held") && !line.Time("held", &a->held, error)) ||
      (line.Has("user") && !line.Text("user", &a->user, error))) {
    return false;
  }
  a->disabled = disabled != 0;
  return true;
}

}  // namespace

bool KepReadStatusFile(const char *path, std::string *text, time_t *mtime, std::string *problem) {
  // Without blocking and only a regular file: a FIFO or a device at the path
  // cannot hang the tool or feed it without end.
  struct stat info;
  int fd = zel::OpenForReading(path, false, &info);
  if (fd < 0) {
    int error = errno;
    *problem = strerror(error);
    if (error == ENOENT) *problem += " (kep has not run here, or it runs without this file)";
    return false;
  }
  bool ok = S_ISREG(info.st_mode);
  if (!ok) *problem = "not a regular file";
  char buffer[8192];
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      *problem = strerror(errno);
    }
    if (n <= 0) break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > kMaxFileSize) {
      ok = false;
      *problem = "too large for a status file";
    }
  }
  close(fd);
  if (ok) *mtime = info.st_mtime;
  return ok;
}

bool KepParseStatus(const std::string &text, KepStatusData *data, std::string *error) {
  *data = KepStatusData{};
  if (text.empty()) {
    *error = "the file is empty";
    return false;
  }
  if (text.back() != '\n') {
    *error = "the file is cut short (no newline at its end)";
    return false;
  }
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (lines[0] != "kep-status 1") {
    *error = lines[0].compare(0, 11, "kep-status ") == 0
                 ? "line 1: a format this tool does not know"
                 : "line 1: not a kep status file";
    return false;
  }
  size_t apps = 0;
  if (lines.size() < 2 || !ParseHeader(Line(lines[1], 2), data, &apps, error)) {
    if (lines.size() < 2) *error = "the file is cut short (no kep line)";
    return false;
  }
  if (apps > lines.size() - 2 || lines.size() != apps + 3 || lines.back() != "end") {
    *error = "the file is cut short or has extra lines (" + std::to_string(apps) +
             " applications announced, then an end line)";
    return false;
  }
  data->apps.resize(apps);
  for (size_t i = 0; i < apps; ++i) {
    Line line(lines[i + 2], i + 3);
    if (line.Kind() != "app") {
      *error = "line " + std::to_string(i + 3) + ": no app line";
      return false;
    }
    if (!ParseApp(line, &data->apps[i], error)) return false;
  }
  return true;
}

bool KepParseHwWatchdog(const std::string &text, KepHwWatchdogShown *shown) {
  if (text.compare(0, 18, "kep-hw-watchdog 1\n") != 0) return false;
  std::map<std::string, std::string> values;
  for (size_t at = 18; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    size_t equals = text.find('=', at);
    if (equals == std::string::npos || equals > end) return false;
    values[text.substr(at, equals - at)] = text.substr(equals + 1, end - equals - 1);
    at = end + 1;
  }
  char *end = nullptr;
  shown->device = values["device"];
  shown->timeout = strtol(values["timeout"].c_str(), &end, 10);
  const std::string fed = values["fed"];
  size_t dot = fed.find('.');
  if (shown->device.empty() || dot == std::string::npos) return false;
  shown->fed.tv_sec = static_cast<time_t>(strtoll(fed.c_str(), nullptr, 10));
  shown->fed.tv_usec = static_cast<suseconds_t>(strtol(fed.c_str() + dot + 1, nullptr, 10));
  return true;
}
