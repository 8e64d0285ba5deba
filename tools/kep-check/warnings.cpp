// kep-check's warnings: configurations that read fine but cannot work as meant.
#include <stdlib.h>

#include <iterator>

#include "ZelPathfind.h"
#include "check.h"

std::string KepCheckLabel(const KepApp &app, size_t position,
                          const std::vector<KepReadNotes::Block> &lines, uint32_t line) {
  if (line == 0 && position < lines.size()) line = lines[position].line;
  std::string label = "application " + app.name;
  if (line != 0) label += " (line " + std::to_string(line) + ")";
  return label;
}

namespace {

std::string BaseName(const std::string &name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The shortest time between two counted deaths of a restarting application,
// in whole seconds: two passes of 0.5 s, and the full start wait for an
// application that never writes its start file.
uint64_t RestartSeconds(bool withStartWait) {
  return 1 + (withStartWait ? KepGetStartSyncTime() : 0);
}

void CheckDeathMonitor(const KepApp &app, const std::string &label, std::vector<std::string> &out) {
  if (KepGetDeathMonitorAction() == KEP_DEATH_ACTION_NOT_SET) return;
  if (app.deathAction != KEP_DEATH_ACTION_RESTART) return;
  const uint64_t deaths = KepGetDeathMonitorMaxDeath();
  const uint64_t period = KepGetDeathMonitorPeriod();
  const std::string limit = "deathMonitorMaxDeath " + std::to_string(deaths) +
                            " cannot be reached within deathMonitorPeriod " +
                            std::to_string(period) + " s";
  if ((deaths - 1) * RestartSeconds(false) > period) {
    out.push_back(label + ": " + limit + ": " + std::to_string(deaths) + " deaths take at least " +
                  std::to_string((deaths - 1) * RestartSeconds(false)) + " s (1 s per restart)");
  } else if (app.startFile.has_value() && (deaths - 1) * RestartSeconds(true) > period) {
    out.push_back(label + ": " + limit + " if it dies before writing its start file: " +
                  std::to_string(deaths) + " deaths then take at least " +
                  std::to_string((deaths - 1) * RestartSeconds(true)) + " s (1 s + startSyncTime " +
                  std::to_string(KepGetStartSyncTime()) + " s per restart)");
  }
}

void CheckExecutable(const KepApp &app, const std::string &label, const char *searchPath,
                     std::vector<std::string> &out) {
  char *found = ZelPathfind(searchPath, app.name.c_str(), "rx");
  if (found != nullptr) {
    free(found);
    return;
  }
  out.push_back(label + ": executable not found on PATH \"" +
                (searchPath != nullptr ? searchPath : "(unset)") + "\"");
}

// A file name that is not absolute is resolved from kep's working folder by
// kep and from the application's own by the application; a note written
// behind a keyword without a path becomes the path.
void CheckPaths(const KepApp &app, const std::string &label, std::vector<std::string> &out) {
  const struct {
    const char *keyword;
    const std::optional<std::string> &file;
  } files[] = {{"startSync", app.startFile},
               {"initSync", app.initFile},
               {"stopSync", app.stopFile},
               {"wdEnable", app.wdFile}};
  for (const auto &entry : files) {
    if (!entry.file.has_value() || entry.file->compare(0, 1, "/") == 0) continue;
    out.push_back(
        label + ": " + entry.keyword + " file \"" + *entry.file + "\" is not an absolute path" +
        (entry.file->compare(0, 1, "#") == 0 ? " (a note behind the keyword is read as the path)"
                                             : ""));
  }
}

// Names and base names that make two applications share or remove each
// other's synchronisation files.
void CheckNames(const KepAppList &list, const std::vector<KepReadNotes::Block> &lines,
                std::vector<std::string> &out) {
  size_t i = 0;
  for (auto first = list.begin(); first != list.end(); ++first, ++i) {
    size_t j = i + 1;
    for (auto second = std::next(first); second != list.end(); ++second, ++j) {
      const std::string a = BaseName(first->name), b = BaseName(second->name);
      const std::string labelA = KepCheckLabel(*first, i, lines),
                        labelB = KepCheckLabel(*second, j, lines);
      if (first->name == second->name) {
        out.push_back(labelB + ": same name as " + labelA +
                      ": they share their synchronisation files and each start removes the "
                      "other's");
      } else if (a == b) {
        out.push_back(labelB + ": same synchronisation-file base name \"" + b + "\" as " + labelA +
                      ": they share their synchronisation files and each start removes the "
                      "other's");
      } else if (b.compare(0, a.size() + 1, a + "-") == 0) {
        out.push_back(labelA + ": its start removes the synchronisation files of " + labelB +
                      ", whose base name \"" + b + "\" begins with \"" + a + "-\"");
      } else if (a.compare(0, b.size() + 1, b + "-") == 0) {
        out.push_back(labelB + ": its start removes the synchronisation files of " + labelA +
                      ", whose base name \"" + a + "\" begins with \"" + b + "-\"");
      }
    }
  }
}

// The hardware watchdog's settings that cannot work as meant.
void CheckHwWatchdog(std::vector<std::string> &out) {
  const char *device = KepGetHwWatchdog();
  if (device == nullptr && KepGetHwWatchdogTimeout() != KepSettings{}.hwWatchdogTimeout) {
    out.push_back("hwWatchdogTimeout " + std::to_string(KepGetHwWatchdogTimeout()) +
                  " has no effect without hwWatchdog");
  }
  if (device != nullptr && device[0] != '/')
    out.push_back("hwWatchdog \"" + std::string(device) + "\" is not an absolute path");
}

}  // namespace

std::vector<std::string> KepCheckWarnings(const KepReadNotes &notes, const char *searchPath) {
  std::vector<std::string> out;
  CheckHwWatchdog(out);
  const KepAppList &list = KepGetAppList();
  for (const KepReadNotes::IgnoredWord &ignored : notes.ignoredWords) {
    std::string where = "line " + std::to_string(ignored.line);
    if (ignored.block >= 0 && static_cast<size_t>(ignored.block) < list.size()) {
      where = KepCheckLabel(*std::next(list.begin(), ignored.block), 0, {}, ignored.line);
    }
    out.push_back(where + ": " + ignored.keyword + " is a flag and takes no value: \"" +
                  ignored.word + "\" is ignored and the flag is set");
  }
  const std::vector<KepReadNotes::Block> &lines = notes.blocks;
  size_t position = 0;
  for (const KepApp &app : list) {
    const std::string label = KepCheckLabel(app, position, lines);
    if (app.deathAction == KEP_DEATH_ACTION_INVALID) {
      out.push_back(label +
                    ": no deathAction: it is never restarted, and if it exits while kep starts the "
                    "applications, kep never leaves that state");
    }
    if (app.deathMonitorAction != KEP_DEATH_ACTION_NOT_SET &&
        KepGetDeathMonitorAction() == KEP_DEATH_ACTION_NOT_SET) {
      uint32_t line = position < lines.size() ? lines[position].deathMonitorActionLine : 0;
      out.push_back(KepCheckLabel(app, position, lines, line) + ": deathMonitorAction " +
                    KepDeathActionName(app.deathMonitorAction) +
                    " never applies: death monitoring is off while the global deathMonitorAction "
                    "is not set");
    }
    CheckDeathMonitor(app, label, out);
    CheckExecutable(app, label, searchPath, out);
    CheckPaths(app, label, out);
    ++position;
  }
  CheckNames(list, lines, out);
  return out;
}
