/* Debug-log library: the surface kep links against. */
#ifndef ZEL_DLOG_H
#define ZEL_DLOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Appends one entry to /var/log/dlog.log. level is a syslog severity (3 error,
 * 4 warning, 5 notice, 6 info, 7 debug); file names the source. Returns 0, or
 * -1 when the entry could not be written. */
int __dlog_printf(int level, const char *file, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif
