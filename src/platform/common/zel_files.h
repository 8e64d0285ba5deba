// File helpers shared by the platform libraries and kep: libc only, compiled
// into each of them and exported by none. kep's folders may be open to every
// user, while kep runs as root: what it opens there must never be a link that
// another user put in place, nor a FIFO that would hang it.
#pragma once

#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace zel {

// Opens path like open(2). A symbolic link at its last component is followed
// only when the link belongs to root or to the owner of the folder it stands
// in, the rule the kernel applies in sticky world-writable folders: another
// user's link is refused (errno as O_NOFOLLOW gives it: ELOOP, or ENOTDIR with
// O_DIRECTORY), while a device image may link a log or a folder of kep's to a
// RAM file system. *linked (when not null) tells whether a link was followed.
// The descriptor, or -1 with errno set.
int OpenTrusted(const char *path, int flags, mode_t mode, bool *linked);

// Opens path for reading without blocking (a FIFO or a device at the path must
// not hang the reader), close-on-exec and never as a controlling terminal;
// links at its last component as OpenTrusted takes them when trustedLinks,
// else as open(2) does. *info receives what is there: the caller decides what
// it reads (S_ISREG). The descriptor, or -1 with errno set.
int OpenForReading(const char *path, bool trustedLinks, struct stat *info);

// Reads what is left of fd, at most capacity bytes, into buffer; *length
// receives how many. 0, 1 when there is more than capacity, -1 on a read error
// (errno set).
int ReadAll(int fd, char *buffer, size_t capacity, size_t *length);

// Writes all of size bytes, going on after signals; returns the bytes written:
// size, or less when the file refused the rest (a full disk; errno set).
size_t WriteAll(int fd, const char *data, size_t size);

// Creates path anew for writing, so that nothing put at its name (a link to
// another file above all) is written through or renamed into place: whatever
// holds the name is removed first, then the file is created exclusively without
// following a link. The descriptor, or -1 with errno set (EEXIST, ELOOP when
// something is still in the way). Opened for writing, or with access O_RDWR
// for both (a file to be mapped).
int CreateFresh(const char *path, mode_t mode, int access = O_WRONLY);

// Makes the folder entries of the folder that path stands in durable (fsync).
// 0, or the errno of the failure; a file system that cannot sync folders
// (EINVAL) has nothing to flush.
int SyncFolderOf(const char *path);

// How ReplaceFile went.
struct Replaced {
  int error = 0;                 // errno of the failure; 0 when the file was replaced
  const char *failed = nullptr;  // the call that failed: "open", "write", "fsync", "rename"
  int closeError = 0;            // errno of a close that failed after a durable write
  int folderError = 0;           // errno of the folder's sync after a durable rename
};

// Replaces path by a file holding text, so that a reader sees the old file or
// the new one, never a part: a temporary file beside it (path and suffix,
// made with CreateFresh; path and a random suffix when suffix is null),
// renamed over it. durable: the text is on storage before the rename (a power
// cut must not leave an empty file) and the rename after it; a failed close or
// folder sync then leaves the file replaced and is only reported. The
// temporary file is removed when the write fails.
Replaced ReplaceFile(const char *path, const char *suffix, const char *text, size_t length,
                     mode_t mode, bool durable);

// first to fourth joined in a new string on the heap; null when memory runs out.
char *JoinPath(const char *first, const char *second, const char *third = "",
               const char *fourth = "");

}  // namespace zel
