/* Path search library: the surface kep links against. */
#ifndef ZEL_PATHFIND_H
#define ZEL_PATHFIND_H

#ifdef __cplusplus
extern "C" {
#endif

/* Looks NAME up along SEARCHPATH (colon-separated; an empty element means the
 * current directory). A NAME containing '/' is checked as given. A null
 * SEARCHPATH searches the default "/bin:/usr/bin". MODE lists the access
 * wanted: 'r' readable, 'w' writable, 'x' executable; only regular files
 * match. Returns a malloc'ed full path (the caller frees it), or null. */
char *ZelPathfind(const char *searchPath, const char *name, const char *mode);

#ifdef __cplusplus
}
#endif

#endif
