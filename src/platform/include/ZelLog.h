/* Logging library: the surface kep links against.
 *
 * One process writes its own log file, /var/log/kep/NAME.log, one line per
 * message; the line layout is described in docs/files.md. Only one thread of
 * a process may log (kep has one). */
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

/* Writes one message: level 1 error, 2 warning, 3 info (anything above 3 is
 * debug, below 1 error); notice 1 marks a notable event; file names the logging unit.
 * The text is cut at 4096 bytes, and a cut text ends with a marker naming its
 * full length. The hook gets every message; the log file (when open) and, when
 * standard error is a terminal, standard error get the message when its level
 * passes the level set with Log_SetLogLevel: error at 20 and above, warning at
 * 30 and above, info at 40 and above, debug at 50. Returns 0. */
int Log_Msg(int level, int notice, const char *file, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* Registers the hook (null removes it). A message logged from inside the hook
 * is written but not handed to the hook again. Returns 0. */
int Log_SetExtLogFn(Log_ExtLogFn hook);

/* Minimum level written to the log file, on the scale 20 error, 30 warning
 * (the default), 40 info, 50 debug. *previous (if not null) receives the level
 * in force before the call. Returns 0, or -1 for a level not on the scale (the
 * level in force is kept). */
int Log_SetLogLevel(unsigned level, int *previous);

/* Opens /var/log/kep/NAME.log for appending (an open file is closed first).
 * The folder must exist; NAME must not be empty or contain '/'.
 *   flags:    reserved; pass 0 (other values are ignored).
 *   maxKiB:   size bound of the file in KiB; when a line would take the file
 *             past the bound, the file is first renamed to NAME.log.1 (one old
 *             file is kept, replacing the previous one). 0 means the built-in
 *             bound of 1024 KiB.
 *   syncMs:   every line is handed to the kernel at once (a crash of the
 *             process loses nothing). 0 leaves storing it to the kernel; N > 0
 *             also forces the file to storage (fdatasync) with a line that
 *             comes N ms or more after the last forced write, and at close.
 * kep passes (name, 0, 2000, 0) at start-up and (name, 0, 100, 200) once in
 * the background. The descriptor is close-on-exec. A symbolic link or a file
 * with more than one name at the path is refused (the folder may be open to
 * every user), with a line on standard error and in the debug log. Returns 0,
 * or -1 with errno set (EINVAL for a bad name or a negative number, ELOOP for a
 * symbolic link, EMLINK for a hard link). */
int Log_WriteOpen(const char *name, int flags, int maxKiB, int syncMs);

/* Closes the file opened by Log_WriteOpen. Returns 0, or -1 when nothing was open
 * or the close failed. */
int Log_WriteClose(void);

#ifdef __cplusplus
}
#endif

#endif
