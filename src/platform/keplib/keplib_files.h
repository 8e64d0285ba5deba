// File helpers of libZelKepLib, shared by the sync-file and watchdog-file code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ZelKepLib.h"

namespace keplib {

// Statuses of the readers (the same numbers for sync and watchdog files).
constexpr int kKepFileOk = KEP_FILE_OK;
constexpr int kKepFileBadArgument = KEP_FILE_BAD_ARGUMENT;
constexpr int kKepFileMissing = KEP_FILE_MISSING;
constexpr int kKepFileDamaged = KEP_FILE_DAMAGED;
constexpr int kKepFileOtherPid = KEP_FILE_OTHER_PID;

// The most a reader takes from a file; every valid file is far shorter.
constexpr size_t kKepMaxFileBytes = 128;

// Reads the whole of the regular file PATH into buffer (capacity bytes, at
// most kKepMaxFileBytes are used) and sets *length. Returns kKepFileOk,
// kKepFileMissing (cannot be opened or read) or kKepFileDamaged (not a regular
// file, or longer than kKepMaxFileBytes). Never blocks on a FIFO.
int ReadSmallFile(const char *path, char *buffer, size_t capacity, size_t *length);

// Replaces PATH with text so that a reader sees the old or the new content,
// never a part: a temporary file beside it, then rename(2). Returns 0, or -1
// with errno set (the temporary file is removed).
int WriteFileAtomically(const char *path, const char *text, size_t length);

// Parses a decimal number of 1 to 20 digits not above max at *cursor and
// moves *cursor past it. Returns false (cursor unchanged) otherwise.
bool ParseNumber(const char **cursor, const char *end, uint64_t max, uint64_t *value);

// Moves *cursor past literal when the text there starts with it.
bool ParseLiteral(const char **cursor, const char *end, const char *literal);

}  // namespace keplib
