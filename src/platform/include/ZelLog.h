/* Logging library: the surface kep links against. */
#ifndef ZEL_LOG_H
#define ZEL_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Levels of Log_Msg. */
#define LOG_MSG_ERROR 1
#define LOG_MSG_WARNING 2
#define LOG_MSG_INFO 3

/* Hook called for every message, whatever the level set: level, notice flag,
 * source-file name (may be null) and the finished text. */
typedef void (*Log_ExtLogFn)(int level, int notice, const char *file, const char *text);

/* Writes one message: level 1 error, 2 warning, 3 info; notice 1 marks a notable
 * event; file names the logging unit. Returns 0. */
int Log_Msg(int level, int notice, const char *file, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* Registers the hook (null removes it). Returns 0. */
int Log_SetExtLogFn(Log_ExtLogFn hook);

/* Minimum level written to the log file, on the scale 20 error, 30 warning,
 * 40 info, 50 debug. *previous (if not null) receives the level in force
 * before the call. Returns 0, or -1 for a level not on the scale. */
int Log_SetLogLevel(unsigned level, int *previous);

/* Opens /var/log/kep/NAME.log for appending.
 *   flags:    reserved, pass 0.
 *   maxKiB:   size bound of the file in KiB; when a message would take it past the
 *             bound the file is rotated to NAME.log.1 (one old file is kept).
 *             0 means the built-in bound of 1024 KiB.
 *   flushMs:  0 writes every message through at once; otherwise messages may be
 *             held in memory for up to that many milliseconds (they are always
 *             written before the next rotation and at close).
 * Returns 0, or -1 with errno set. */
int Log_WriteOpen(const char *name, int flags, int maxKiB, int flushMs);

/* Closes the file opened by Log_WriteOpen. Returns 0, or -1 when nothing was open
 * or the close failed. */
int Log_WriteClose(void);

#ifdef __cplusplus
}
#endif

#endif
