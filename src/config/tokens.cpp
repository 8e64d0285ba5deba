// The token handlers of the configuration reader: each reads a keyword's
// value from the rest of the line into the settings or the open record.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>

#include "ZelLog.h"
#include "kep_config.h"
#include "reader_tokens.h"

char *KepNextWord(KepParseContext *context) {
  return strtok_r(nullptr, kKepSeparators, &context->savePtr);
}

namespace {

// The suffix of a path token's default synchronisation file; null for any
// other token.
const char *KepSyncSuffix(int token) {
  switch (token) {
    case kKepTokenStartSync:
      return "start";
    case kKepTokenInitSync:
      return "init";
    case kKepTokenStopSync:
      return "stop";
    case kKepTokenWdEnable:
      return "wd";
    default:
      return nullptr;
  }
}

// "%u" as the device converts it. On a 64-bit host "%u" keeps the low 32 bits
// of a number beyond 4294967295 where the 32-bit device saturates; saturate
// here as well, so that a file reads the same on both.
bool KepScanUint(const char *word, uint32_t *value) {
  unsigned int scanned = 0;
  if (sscanf(word, "%u", &scanned) != 1) return false;
  const char *digits = word;
  while (isspace(static_cast<unsigned char>(*digits))) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  while (*digits == '0') ++digits;
  size_t count = strspn(digits, "0123456789");
  if (count > 10 || (count == 10 && strncmp(digits, "4294967295", 10) > 0)) scanned = 0xFFFFFFFFu;
  *value = scanned;
  return true;
}

KepSettings &Settings() { return KepMutableSettings(); }

// Shared by both deathMonitorAction keywords (global scope or the open
// record): only reset, reboot and halt.
int KepReadDeathMonAction(KepParseContext *context, bool global) {
  const char *function = global ? "ProcessDeathMonActionToken" : "ProcessDeathMonAppActionToken";
  const int line = static_cast<int>(context->lineNumber);
  char *word = KepNextWord(context);
  if (word == nullptr) {
    if (global) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): deathMonitorAction token not found, file: %s, line: %i.", function,
              context->fileName, line);
    } else {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): app deathMonitorAction token not found, file: %s, line: %i.", function,
              context->fileName, line);
    }
    return KEP_ERR_NO_DEATH_MON_ACTION;
  }
  uint32_t action = KepDeathActionFromName(word);
  if (action != KEP_DEATH_ACTION_RESET && action != KEP_DEATH_ACTION_REBOOT &&
      action != KEP_DEATH_ACTION_HALT) {
    if (global) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): invalid deathMonitorAction (%s), file: %s, line: %i.", function, word,
              context->fileName, line);
    } else {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): invalid app deathMonitorAction (%s), file: %s, line: %i.", function, word,
              context->fileName, line);
    }
    return KEP_ERR_BAD_DEATH_MON_ACTION;
  }
  if (global) {
    Settings().deathMonitorAction = action;
  } else {
    context->app.deathMonitorAction = action;
    context->block.deathMonitorActionLine = context->lineNumber;
  }
  return KEP_OK;
}

// Shared by env (the open record) and globalEnv: NAME and quoted text,
// appended as NAME=text.
int KepReadEnv(KepParseContext *context, bool global) {
  const char *function = global ? "ProcessGlobalEnvToken" : "ProcessEnvToken";
  const int line = static_cast<int>(context->lineNumber);
  char *name = KepNextWord(context);
  if (name == nullptr) {
    if (global) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): globalEnv variable missing, file: %s, line: %i.", function, context->fileName,
              line);
    } else {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): env variable missing, file: %s, line: %i.",
              function, context->fileName, line);
    }
    return KEP_ERR_NO_ENV_NAME;
  }
  char *value = KepGetQuotedString(context->savePtr);
  if (value == nullptr) {
    if (global) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): invalid globalEnv value, file: %s, line: %i.", function, context->fileName,
              line);
      return KEP_ERR_NO_GLOBAL_ENV_VALUE;
    }
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): invalid env value, file: %s, line: %i.",
            function, context->fileName, line);
    return KEP_ERR_NO_ENV_VALUE;
  }
  return KepPushEnv(name, value, global ? &KepGetGlobalEnvList() : &context->app.envList);
}

}  // namespace

int ProcessApplicationToken(KepParseContext *context) {
  KepApp &app = context->app;
  app = KepApp{};
  const int line = static_cast<int>(context->lineNumber);
  char *word = KepNextWord(context);
  if (word == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): application name not found, file: %s, line: %i.", __func__, context->fileName,
            line);
    return KEP_ERR_NO_APP_NAME;
  }
  try {
    app.name = word;
  } catch (...) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): LxStrdup(%s) failed, file: %s, line: %i.",
            __func__, word, context->fileName, line);
    return KEP_ERR_COPY;
  }
  word = KepNextWord(context);
  if (word == nullptr || strcmp(word, "{") != 0) {
    app.name.clear();
    app.name.shrink_to_fit();
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): opening brace not found, file: %s, line: %i.",
            __func__, context->fileName, line);
    return KEP_ERR_NO_BRACE;
  }
  app.disabled = 0;
  app.state = KEP_APP_STATE_NONE;
  app.index = context->nextIndex;
  app.argList.clear();
  app.envList.clear();
  app.deathTimeList.clear();
  app.doNotDeathMonitor = 0;
  app.deathMonitorAction = KEP_DEATH_ACTION_NOT_SET;
  context->inApplication = 1;
  context->block = {context->lineNumber, 0};
  return KEP_OK;
}

int ProcessUintToken(KepParseContext *context, int token, uint32_t minimum, uint32_t maximum,
                     uint32_t *destination) {
  const int line = static_cast<int>(context->lineNumber);
  char *word = KepNextWord(context);
  if (word == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): uint argument for token %i not found, file: %s, line: %i.", __func__, token,
            context->fileName, line);
    return KEP_ERR_NO_UINT;
  }
  uint32_t value = 0;
  if (!KepScanUint(word, &value)) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): invalid uint value for token %i (%s), file: %s, line: %i.", __func__, token,
            word, context->fileName, line);
    return KEP_ERR_BAD_UINT;
  }
  if (value < minimum) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): uint value for token %i (%u) < minimum (%u), file: %s, line: %i.", __func__,
            token, value, minimum, context->fileName, line);
    return KEP_ERR_UINT_LOW;
  }
  if (value > maximum) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): uint value for token %i (%u) > maximum (%u), file: %s, line: %i.", __func__,
            token, value, maximum, context->fileName, line);
    return KEP_ERR_UINT_HIGH;
  }
  *destination = value;
  return KEP_OK;
}

int ProcessStringToken(KepParseContext *context, int token,
                       std::optional<std::string> *destination) {
  const int line = static_cast<int>(context->lineNumber);
  destination->reset();
  const char *source = KepNextWord(context);
  std::optional<std::string> defaultPath;
  if (source == nullptr) {
    defaultPath = KepBuildSyncFilePath(context->app.name.c_str(), KepSyncSuffix(token));
    if (!defaultPath.has_value()) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): pathname for %s, token %i failed, file: %s, line: %i.", __func__,
              context->app.name.c_str(), token, context->fileName, line);
      return KEP_ERR_SYNC_PATH;
    }
    source = defaultPath->c_str();
  }
  try {
    destination->emplace(source);
  } catch (...) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): new failed for [%s] for token %i, file: %s, line: %i.", __func__, source, token,
            context->fileName, line);
    return KEP_ERR_ALLOC;
  }
  return KEP_OK;
}

int ProcessBoolToken(KepParseContext *context, int, uint8_t *destination) {
  if (destination == nullptr) return KEP_ERR_INVALID_ARG;
  *destination = 1;
  // Nothing after a flag is read; kep-check tells of a word there ("false").
  const char *word = context->notes != nullptr ? KepNextWord(context) : nullptr;
  if (word != nullptr && word[0] != '#') {
    try {
      context->notes->ignoredWords.push_back(
          {context->inApplication ? static_cast<int>(context->notes->blocks.size()) : -1,
           context->lineNumber, context->keyword != nullptr ? context->keyword : "", word});
    } catch (...) {
      // Notes are for kep-check; without memory it misses this one.
    }
  }
  return KEP_OK;
}

int ProcessDeathActionToken(KepParseContext *context) {
  const int line = static_cast<int>(context->lineNumber);
  context->app.deathAction = KEP_DEATH_ACTION_NONE;
  char *word = KepNextWord(context);
  if (word == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): deathAction token not found, file: %s, line: %i.", __func__, context->fileName,
            line);
    return KEP_ERR_NO_DEATH_ACTION;
  }
  uint32_t action = KepDeathActionFromName(word);
  if (action < KEP_DEATH_ACTION_NONE) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): invalid deathAction (%s), file: %s, line: %i.",
            __func__, word, context->fileName, line);
    return KEP_ERR_BAD_DEATH_ACTION;
  }
  context->app.deathAction = action;
  return KEP_OK;
}

int ProcessDeathMonActionToken(KepParseContext *context) {
  return KepReadDeathMonAction(context, true);
}

int ProcessDeathMonAppActionToken(KepParseContext *context) {
  return KepReadDeathMonAction(context, false);
}

int ProcessEnvToken(KepParseContext *context) { return KepReadEnv(context, false); }

int ProcessGlobalEnvToken(KepParseContext *context) { return KepReadEnv(context, true); }

int ProcessHwWatchdogToken(KepParseContext *context) {
  const char *rest = context->savePtr != nullptr ? context->savePtr : "";
  rest += strspn(rest, " \t");
  const char *device = *rest == '"' ? KepGetQuotedString(context->savePtr) : KepNextWord(context);
  if (device == nullptr || *device == '\0') {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): hwWatchdog device not found, file: %s, line: %i.", __func__, context->fileName,
            static_cast<int>(context->lineNumber));
    return KEP_ERR_NO_HW_WATCHDOG;
  }
  try {
    Settings().hwWatchdog = device;
  } catch (...) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): new failed for [%s], file: %s, line: %i.",
            __func__, device, context->fileName, static_cast<int>(context->lineNumber));
    return KEP_ERR_ALLOC;
  }
  return KEP_OK;
}

int ProcessArgToken(KepParseContext *context) {
  char *text = KepGetQuotedString(context->savePtr);
  if (text == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): no argument value, file: %s, line: %i.",
            __func__, context->fileName, static_cast<int>(context->lineNumber));
    return KEP_ERR_NO_ARG;
  }
  char *wordSave = nullptr;
  for (char *word = strtok_r(text, kKepSeparators, &wordSave); word != nullptr;
       word = strtok_r(nullptr, kKepSeparators, &wordSave)) {
    try {
      context->app.argList.emplace_back(word);
    } catch (...) {
      return KEP_ERR_COPY;
    }
  }
  return KEP_OK;
}
