// The token handlers of what an application runs as: user, group, umask,
// workDir, limit, nice and capabilities (noNewPrivileges is a flag). Each
// value is checked here, so that a file kep accepts can be applied as it
// stands; only user and group names wait for the databases, at the start.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "ZelLog.h"
#include "kep_config.h"
#include "reader_tokens.h"

namespace {

// Logs "FUNCTION(): WHAT, file: F, line: N." and returns status.
__attribute__((format(printf, 4, 5))) int KepFail(const KepParseContext *context, int status,
                                                  const char *function, const char *format, ...) {
  char what[512];
  va_list args;
  va_start(args, format);
  vsnprintf(what, sizeof what, format, args);
  va_end(args);
  Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): %s, file: %s, line: %i.", function, what,
          context->fileName, static_cast<int>(context->lineNumber));
  return status;
}

// Digits only, at most maximum; no sign, no spaces, nothing behind.
bool KepParseDigits(const char *word, int base, unsigned long long maximum,
                    unsigned long long *value) {
  if (*word == '\0' || strspn(word, base == 8 ? "01234567" : "0123456789") != strlen(word))
    return false;
  errno = 0;
  *value = strtoull(word, nullptr, base);
  return errno == 0 && *value <= maximum;
}

// An id (digits, below 4294967295, which means "none" to the kernel) or a
// name as the account tools make them: letters, digits, '.', '_' and '-',
// not beginning with '-'.
bool KepIsAccount(const char *word) {
  unsigned long long id = 0;
  if (strspn(word, "0123456789") == strlen(word)) return KepParseDigits(word, 10, 4294967294u, &id);
  return word[0] != '-' &&
         strspn(word, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
             strlen(word);
}

// A limit value: a number below kKepUnlimited, or "unlimited".
bool KepParseLimit(const char *word, uint64_t *value) {
  unsigned long long number = 0;
  if (strcmp(word, "unlimited") == 0) {
    *value = kKepUnlimited;
    return true;
  }
  if (!KepParseDigits(word, 10, kKepUnlimited - 1, &number)) return false;
  *value = number;
  return true;
}

std::string KepLimitText(uint64_t value) {
  return value == kKepUnlimited ? "unlimited" : std::to_string(value);
}

int KepReadAccount(KepParseContext *context, const char *function, const char *what,
                   std::optional<std::string> *destination) {
  const char *word = KepNextWord(context);
  if (word == nullptr)
    return KepFail(context, KEP_ERR_NO_PRIVILEGE_VALUE, function, "%s name or id missing", what);
  if (!KepIsAccount(word))
    return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, function, "invalid %s (%s)", what, word);
  try {
    destination->emplace(word);
  } catch (...) {
    return KepFail(context, KEP_ERR_ALLOC, function, "new failed for [%s]", word);
  }
  return KEP_OK;
}

// The limit of resource in the open record, replaced when it is set already.
int KepSetLimit(KepParseContext *context, const KepLimit &limit) {
  std::vector<KepLimit> &limits = context->app.privileges.limits;
  auto same = std::find_if(limits.begin(), limits.end(),
                           [&limit](const KepLimit &l) { return l.resource == limit.resource; });
  if (same != limits.end()) {
    *same = limit;
    return KEP_OK;
  }
  try {
    limits.push_back(limit);
  } catch (...) {
    return KepFail(context, KEP_ERR_ALLOC, "ProcessLimitToken", "new failed for a limit");
  }
  return KEP_OK;
}

}  // namespace

int ProcessUserToken(KepParseContext *context) {
  return KepReadAccount(context, __func__, "user", &context->app.privileges.user);
}

int ProcessGroupToken(KepParseContext *context) {
  return KepReadAccount(context, __func__, "group", &context->app.privileges.group);
}

int ProcessUmaskToken(KepParseContext *context) {
  const char *word = KepNextWord(context);
  unsigned long long mask = 0;
  if (word == nullptr)
    return KepFail(context, KEP_ERR_NO_PRIVILEGE_VALUE, __func__, "umask missing");
  if (!KepParseDigits(word, 8, 0777, &mask))
    return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, __func__,
                   "invalid umask (%s): octal, 0 to 0777", word);
  context->app.privileges.umask = static_cast<uint32_t>(mask);
  return KEP_OK;
}

int ProcessWorkDirToken(KepParseContext *context) {
  const char *word = KepNextWord(context);
  if (word == nullptr)
    return KepFail(context, KEP_ERR_NO_PRIVILEGE_VALUE, __func__, "workDir missing");
  // Relative to what? kep's own folder is wherever kep happened to start.
  if (word[0] != '/')
    return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, __func__,
                   "workDir (%s) is not an absolute path", word);
  try {
    context->app.privileges.workDir.emplace(word);
  } catch (...) {
    return KepFail(context, KEP_ERR_ALLOC, __func__, "new failed for [%s]", word);
  }
  return KEP_OK;
}

int ProcessLimitToken(KepParseContext *context) {
  const char *name = KepNextWord(context);
  if (name == nullptr)
    return KepFail(context, KEP_ERR_NO_PRIVILEGE_VALUE, __func__, "limit resource missing");
  const int32_t resource = KepNameToValue(KepLimitNames, name, 1);
  if (resource < 0)
    return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, __func__, "unknown limit resource (%s)",
                   name);
  const char *soft = KepNextWord(context);
  if (soft == nullptr)
    return KepFail(context, KEP_ERR_NO_PRIVILEGE_VALUE, __func__, "limit %s without a value", name);
  // Without a hard limit (a note may follow the soft one) both are the same.
  const char *hard = KepNextWord(context);
  if (hard == nullptr || hard[0] == '#') hard = soft;
  KepLimit limit = {resource, 0, 0};
  if (!KepParseLimit(soft, &limit.soft) || !KepParseLimit(hard, &limit.hard))
    return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, __func__,
                   "invalid limit %s value (%s): a number or unlimited", name,
                   KepParseLimit(soft, &limit.soft) ? hard : soft);
  if (limit.soft > limit.hard)
    return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, __func__,
                   "limit %s: soft limit %s above hard limit %s", name,
                   KepLimitText(limit.soft).c_str(), KepLimitText(limit.hard).c_str());
  return KepSetLimit(context, limit);
}

int ProcessNiceToken(KepParseContext *context) {
  const char *word = KepNextWord(context);
  if (word == nullptr)
    return KepFail(context, KEP_ERR_NO_PRIVILEGE_VALUE, __func__, "nice missing");
  const bool negative = word[0] == '-';
  unsigned long long magnitude = 0;
  if (!KepParseDigits(word + (negative || word[0] == '+' ? 1 : 0), 10, negative ? 20 : 19,
                      &magnitude))
    return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, __func__, "invalid nice (%s): -20 to 19",
                   word);
  const int32_t value = static_cast<int32_t>(magnitude);
  context->app.privileges.nice = negative ? -value : value;
  return KEP_OK;
}

int ProcessCapabilitiesToken(KepParseContext *context) {
  char *text = KepGetQuotedString(context->savePtr);
  if (text == nullptr)
    return KepFail(context, KEP_ERR_NO_PRIVILEGE_VALUE, __func__, "no capabilities text");
  uint64_t kept = 0;
  char *wordSave = nullptr;
  for (char *word = strtok_r(text, kKepSeparators, &wordSave); word != nullptr;
       word = strtok_r(nullptr, kKepSeparators, &wordSave)) {
    const int32_t capability = KepNameToValue(KepCapabilityNames, word, 1);
    if (capability < 0)
      return KepFail(context, KEP_ERR_BAD_PRIVILEGE_VALUE, __func__, "unknown capability (%s)",
                     word);
    kept |= uint64_t{1} << capability;
  }
  context->app.privileges.capabilities = kept;
  return KEP_OK;
}
