// File helpers shared by the platform libraries and kep: libc only, compiled
// into each of them and exported by none.
#pragma once

#include <sys/types.h>

namespace zel {

// Opens path like open(2). A symbolic link at its last component is followed
// only when the link belongs to root or to the owner of the folder it stands
// in, the rule the kernel applies in sticky world-writable folders: kep's
// folders may be open to every user, whose links are refused (errno as
// O_NOFOLLOW gives it: ELOOP, or ENOTDIR with O_DIRECTORY), while a device
// image may link a log or a folder of kep's to a RAM file system. *linked
// (when not null) tells whether a link was followed. The descriptor, or -1
// with errno set.
int OpenTrusted(const char *path, int flags, mode_t mode, bool *linked);

}  // namespace zel
