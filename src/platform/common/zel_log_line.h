// Line building shared by libZelLog and libdlog (compiled into each; nothing
// here is exported).
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace zel {

// A text longer than this is cut; the rest of a message is never lost silently:
// the cut text ends with a marker that names the full length.
constexpr size_t kZelMaxText = 4096;

// A text on the heap, always terminated. When memory runs out it stays as it
// was and Failed() tells: the caller drops the message as not written.
class Text {
 public:
  Text() = default;
  ~Text();
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;

  const char *Data() const;
  size_t Size() const { return size_; }
  bool Failed() const { return failed_; }

  void Append(const char *text, size_t length);
  void Append(const char *text);
  void Append(char c);
  void Append(unsigned long number);

 private:
  bool Reserve(size_t more);

  char *data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// The message of format and args, cut at kZelMaxText with a marker.
void FormatText(Text &out, const char *format, va_list args);

// "2024-05-01T12:00:00.123Z [12.345] ": wall-clock time (UTC) for people, and
// the boot-clock time that kep's own times are measured on.
void AppendLinePrefix(Text &line);

// Appends text and a newline; control characters (a newline inside a message
// included) are written as \n, \r or \xHH so that one message stays one line.
// Trailing newlines are dropped.
void AppendEscapedLine(Text &line, const char *text, size_t size);

// The root folder put before the fixed paths: ZEL_LOG_ROOT, read once.
const char *EnvironmentRoot();

// Opens the log file PATH for appending (created 0644 when missing),
// close-on-exec, with access O_WRONLY or O_RDWR. The log folders may be open to
// every user, so a link there could make a root process append to any file
// of the device: a symbolic link is followed only when it is root's or the
// folder owner's (OpenTrusted; *followed tells), and a file with more than one
// name (hard link) is refused, with *link naming which of the two was refused
// (null for any other failure). Anything but a regular file is refused as
// well, and O_NONBLOCK for the open itself keeps a FIFO at the path from
// hanging the writer. Returns the descriptor, or -1 with errno set.
int OpenLogForAppend(const char *path, int access, const char **link, bool *followed);

}  // namespace zel
