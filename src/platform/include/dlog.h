/* Debug-log library: the surface kep links against. */
#ifndef ZEL_DLOG_H
#define ZEL_DLOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Appends one entry to /var/log/dlog.log, one line (layout in docs/files.md).
 * level is a syslog severity (3 error, 4 warning, 5 notice, 6 info, 7 debug);
 * file names the source. The text is cut at 4096 bytes with a marker. The file
 * is shared by every process of the device: it is opened for each entry
 * (close-on-exec) and, when an entry would take it past 1024 KiB, renamed to
 * dlog.log.1 under a lock, so concurrent writers neither interleave nor lose
 * the old file twice. A symbolic link or a file with more than one name at
 * the path is refused, with a line on standard error. Returns 0, or -1 when
 * the entry could not be written. */
int __dlog_printf(int level, const char *file, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif
