// The reader against many random and mutated configurations: no crash, a
// known status, and a model that holds only values the reader accepts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "kep_config.h"
#include "kep_test.h"

namespace {

// Splits lines written one after another, each ending with '|'.
std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('|', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at) + "\n");
  }
  return lines;
}

const std::vector<std::string> kGlobalLines = Lines(
    "killDelay 15|killRetries 0|wdTimeout 0|initSyncTime 7s|deathMonitorPeriod 3600|"
    "deathMonitorMaxDeath 2|deathMonitorAction reboot|disableReboot|disableReset false|"
    "globalEnv PATH \"/bin\"|globalEnv X \"a \"b\" c\"|# comment||");
const std::vector<std::string> kAppLines = Lines(
    "  deathAction restart|  deathMonitorAction halt|  doNotDeathMonitor|  startLevel 100|"
    "  startSync|  initSync /tmp/init|  stopSync|  wdEnable|  arg \"-a 1 -b\"|"
    "  env HOME \"/root\"|\t \r|");
const std::vector<std::string> kBadLines = Lines(
    "killRetries 11|stopSyncTime -1|deathMonitorAction none|application c{|}|"
    "  deathAction Halt|  arg \"|  env HOME x\"y\"|");

std::string RandomConfig(std::mt19937 &random) {
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  // Mostly well-formed files; a third with bad lines, raw bytes or long lines.
  const bool chaos = pick(3) == 0;
  std::string text;
  for (size_t n = pick(8); n > 0; --n) text += kGlobalLines[pick(kGlobalLines.size())];
  for (size_t apps = pick(4); apps > 0; --apps) {
    text += pick(2) == 0 ? "application /usr/bin/app {\n" : "application b {\n";
    for (size_t n = pick(8); n > 0; --n) text += kAppLines[pick(kAppLines.size())];
    if (chaos && pick(2) == 0) {
      for (size_t n = pick(60); n > 0; --n) text += static_cast<char>(random() & 0xff);
    } else if (chaos) {
      text += pick(2) == 0 ? std::string(1 + pick(2000), "#k \"{}\t"[pick(7)]) + "\n"
                           : kBadLines[pick(kBadLines.size())];
    }
    text += "}\n";
  }
  if (!chaos) return text;
  // Mutations: changed bytes, sometimes a cut (no final line feed).
  const char special[] = {'\0', '\xff', '"', '{', '}', '\n', '\r', '\t', ' ', '#', '-'};
  for (size_t n = text.empty() ? 0 : pick(4); n > 0; --n) {
    text[pick(text.size())] = pick(2) == 0 ? special[pick(sizeof special)] : char(random() & 0xff);
  }
  if (!text.empty() && pick(4) == 0) text.resize(pick(text.size()));
  return text;
}

// Whether the model holds only what the reader accepts.
bool ValidModel() {
  const KepSettings &s = KepMutableSettings();
  bool ok = s.killDelay >= 2 && s.killDelay <= 60 && s.killRetries <= 10 && s.wdTimeout <= 300 &&
            s.startSyncTime >= 1 && s.startSyncTime <= 20 && s.initSyncTime >= 1 &&
            s.initSyncTime <= 60 && s.stopSyncTime >= 1 && s.stopSyncTime <= 60 &&
            s.deathMonitorPeriod >= 10 && s.deathMonitorPeriod <= 3600 &&
            s.deathMonitorMaxDeath >= 2 && s.deathMonitorMaxDeath <= 100 &&
            (s.deathMonitorAction == KEP_DEATH_ACTION_NOT_SET ||
             (s.deathMonitorAction >= KEP_DEATH_ACTION_RESET &&
              s.deathMonitorAction <= KEP_DEATH_ACTION_HALT));
  uint32_t index = 0;
  for (const KepApp &app : KepGetAppList()) {
    ok = ok && app.index == index++ && app.state == KEP_APP_STATE_CONFIGURED && !app.name.empty() &&
         app.name.find_first_of(" \t\r\n") == std::string::npos && app.startLevel <= 100 &&
         app.deathAction != KEP_DEATH_ACTION_NOT_SET && app.deathAction <= KEP_DEATH_ACTION_HALT;
    for (const std::string &entry : app.envList) ok = ok && entry.find('=') != std::string::npos;
  }
  return ok;
}

}  // namespace

TEST(ConfigRandom, RandomAndMutatedFilesGiveAKnownStatusAndAValidModel) {
  const std::set<int> known = {0,    1016, 1017, 1018, 1019, 1020, 1021, 1022, 1023,
                               1024, 1025, 1027, 1028, 1029, 1030, 1045, 1046};
  TempDir temp;
  const std::string syncDir = temp.File("sync"), path = temp.File("random.conf");
  const char *savedSyncDir = kepSyncFilesDir;
  kepSyncFilesDir = syncDir.c_str();
  LogCapture log;
  std::mt19937 random(20240601);
  int failures = 0, successes = 0, withApps = 0;
  std::set<int> seen;
  // The reader prints each failing line on standard error: keep it quiet.
  fflush(stderr);
  const int savedStderr = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  for (int i = 0; i < 1500 && failures < 5; ++i) {
    ResetModel();
    log.Clear();
    const std::string text = RandomConfig(random);
    temp.Write("random.conf", text);
    const int status = KepReadConfig(path.c_str());
    if (known.count(status) == 0 || !log.Contains("lines read from") || !ValidModel()) {
      ++failures;
      ADD_FAILURE() << "status " << status << " for:\n" << text << "\n" << log.Dump();
    }
    seen.insert(status);
    successes += status == 0;
    withApps += !KepGetAppList().empty();
  }
  fflush(stderr);
  dup2(savedStderr, 2);
  close(savedStderr);
  close(null);
  // The mix must reach deep into files, not only fail at their first line.
  EXPECT_GT(successes, 500);
  EXPECT_GE(seen.size(), 8u);
  EXPECT_GT(withApps, 400);
  ResetModel();
  kepSyncFilesDir = savedSyncDir;
}
