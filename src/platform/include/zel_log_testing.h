/* Test seams of libZelLog and libdlog; not part of the device's interface.
 *
 * Both libraries write under fixed paths (/var/log/kep/NAME.log and
 * /var/log/dlog.log). A root folder is put in front of those paths: the one
 * set here, else the value of the environment variable ZEL_LOG_ROOT (read
 * once, at the first use), else none. Tests set it to a temporary folder and
 * so never touch the real /var/log. */
#ifndef ZEL_LOG_TESTING_H
#define ZEL_LOG_TESTING_H

#ifdef __cplusplus
extern "C" {
#endif

/* Root of libZelLog's paths; null goes back to the default. It applies to the
 * next Log_WriteOpen. */
void ZelLog_SetRootForTesting(const char *root);

/* Root of libdlog's path; null goes back to the default. */
void Dlog_SetRootForTesting(const char *root);

/* Size bound of dlog.log in bytes; 0 goes back to the built-in 1024 KiB. */
void Dlog_SetMaxBytesForTesting(long maxBytes);

#ifdef __cplusplus
}
#endif

#endif
