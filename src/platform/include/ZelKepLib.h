/* Supervisor support library: the surface kep and its applications link against.
 *
 * Synchronisation and watchdog files are one line of text (formats in
 * docs/files.md); the writers replace them atomically (a temporary file in the
 * same folder, then rename), and the readers take at most 128 bytes and never
 * block. Every descriptor is close-on-exec. */
#ifndef ZEL_KEP_LIB_H
#define ZEL_KEP_LIB_H

#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses of the readers KepReadSyncFile and KepWatchdogFileTime. */
#define KEP_FILE_OK 0
#define KEP_FILE_BAD_ARGUMENT 1 /* null path, pid <= 0, reserved not null */
#define KEP_FILE_MISSING 2      /* missing or unreadable */
#define KEP_FILE_DAMAGED 3      /* empty, cut, garbage, not a regular file */
#define KEP_FILE_OTHER_PID 4    /* written for (or fed by) another pid */

/* ---- supervisor side ---- */

/* *out = time since boot, from the boot clock (never the wall clock; it keeps
 * counting through suspend). Returns 0, or -1 when out is null. */
int KepGetUptime(struct timeval *out);

/* *out = a - b, normalised (0 <= tv_usec < 1000000). Returns 0, or -1 on a
 * null argument. */
int KepTvSub(const struct timeval *a, const struct timeval *b, struct timeval *out);

/* KEP_FILE_OK when the synchronisation file PATH has been written for process
 * PID; any other status means "not yet". reserved must be null. */
int KepReadSyncFile(const char *path, pid_t pid, void *reserved);

/* Age of the watchdog file PATH fed by process PID.
 *   age:     time since the last feed, on the boot clock.
 *   fedAt:   boot-clock time of the last feed.
 *   now:     boot-clock time of this reading.
 *   count:   number of feeds by PID (see KepFeedWatchdogFile).
 * The age is measured on the boot clock, from the time written into the file by
 * the feeder: neither the wall clock nor the file's mtime counts. Null outputs
 * are skipped; on failure the outputs are left untouched.
 * Returns KEP_FILE_OK, or KEP_FILE_BAD_ARGUMENT, KEP_FILE_MISSING (errno is
 * ENOENT exactly when the file does not exist), KEP_FILE_DAMAGED (also a feed
 * time later than now) or KEP_FILE_OTHER_PID (an application restarted and not
 * yet fed). */
int KepWatchdogFileTime(const char *path, pid_t pid, struct timeval *age, struct timeval *fedAt,
                        struct timeval *now, uint32_t *count);

/* ---- application side ---- */

/* Writes the synchronisation file PATH for process PID atomically. Returns 0,
 * or -1 with errno set. */
int KepWriteSyncFile(const char *path, pid_t pid);

/* Feeds the watchdog file PATH for process PID (boot-clock time of the feed and
 * a feed count, which goes on from the file when PID fed it before and starts
 * at 1 otherwise). Returns 0, or -1 with errno set. */
int KepFeedWatchdogFile(const char *path, pid_t pid);

/* The application's own calls: they read KEP_START_FILE, KEP_INIT_FILE,
 * KEP_STOP_FILE or KEP_WD_FILE from the environment and write for getpid().
 * Return 0, 1 when the variable is not set (the application is not
 * synchronised that way), or -1 with errno set. */
int KepNotifyStarted(void);
int KepNotifyInitialized(void);
int KepNotifyStopped(void);
int KepFeedWatchdog(void);

#ifdef __cplusplus
}
#endif

#endif
