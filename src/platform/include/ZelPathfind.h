/* Path search library: the surface kep links against. */
#ifndef ZEL_PATHFIND_H
#define ZEL_PATHFIND_H

#ifdef __cplusplus
extern "C" {
#endif

/* Looks NAME up along SEARCHPATH, a colon-separated list of folders in which
 * an empty element means the current directory ("./NAME" is returned for it).
 * A null SEARCHPATH searches the default "/bin:/usr/bin". A NAME containing
 * '/' is not searched but checked as given. MODE lists the access wanted,
 * checked with access(2) for the real user: 'r' readable, 'w' writable, 'x'
 * executable; a null or empty MODE asks only that the file exists. Only
 * regular files match (symbolic links are followed): a folder named NAME is
 * passed over. Returns a malloc'ed path of the first match (the caller frees
 * it), or null with errno set: EINVAL for a null or empty NAME or an unknown
 * mode letter, ENOENT when nothing matches, ENOMEM. */
char *ZelPathfind(const char *searchPath, const char *name, const char *mode);

#ifdef __cplusplus
}
#endif

#endif
