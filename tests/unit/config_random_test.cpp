// The reader against a few thousand random and mutated configurations: no
// crash, a known status, and a model that holds only values the reader accepts.
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

const char *const kGlobalLines[] = {
    "killDelay 15\n",
    "killRetries 0\n",
    "wdTimeout 0\n",
    "initSyncTime 7s\n",
    "deathMonitorPeriod 3600\n",
    "deathMonitorMaxDeath 2\n",
    "deathMonitorAction reboot\n",
    "disableReboot\n",
    "disableReset false\n",
    "globalEnv PATH \"/bin:/usr/bin\"\n",
    "globalEnv X \"a \"b\" c\"\n",
    "# comment\n",
    "\n",
};

const char *const kAppLines[] = {
    "  deathAction restart\n",
    "  deathMonitorAction halt\n",
    "  doNotDeathMonitor\n",
    "  startLevel 100\n",
    "  startSync\n",
    "  initSync /tmp/init\n",
    "  stopSync\n",
    "  wdEnable\n",
    "  arg \"-a 1 -b\"\n",
    "  env HOME \"/root\"\n",
    "\t \r\n",
};

const char *const kBadLines[] = {
    "killRetries 11\n",          "startSyncTime 21\n", "stopSyncTime -1\n",
    "deathMonitorAction none\n", "application c{\n",   "}\n",
    "  deathAction Halt\n",      "  arg \"\n",         "  env HOME x\"y\"\n",
};

const std::set<int> kReaderStatuses = {0,    1016, 1017, 1018, 1019, 1020, 1021, 1022, 1023,
                                       1024, 1025, 1027, 1028, 1029, 1030, 1045, 1046};

std::string RandomConfig(std::mt19937 &random) {
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  // Mostly well-formed files, some with bad lines, raw bytes or long lines.
  const bool chaos = pick(3) == 0;
  std::string text;
  for (size_t n = pick(8); n > 0; --n) text += kGlobalLines[pick(std::size(kGlobalLines))];
  for (size_t apps = pick(4); apps > 0; --apps) {
    text += pick(2) == 0 ? "application /usr/bin/app {\n" : "application b {\n";
    for (size_t n = pick(8); n > 0; --n) text += kAppLines[pick(std::size(kAppLines))];
    if (chaos) {
      switch (pick(4)) {
        case 0:  // raw bytes, NUL and high bytes included
          for (size_t n = pick(60); n > 0; --n) text += static_cast<char>(random() & 0xff);
          break;
        case 1:  // a long line
          text += std::string(1 + pick(2000), "#k \"{}\t"[pick(7)]) + "\n";
          break;
        default:
          text += kBadLines[pick(std::size(kBadLines))];
      }
    }
    text += "}\n";
  }
  if (!chaos) return text;
  // Mutations: changed bytes, a cut, sometimes no final line feed.
  const char special[] = {'\0', '\xff', '\x80', '"', '{', '}', '\n', '\r', '\t', ' ', '#', '-'};
  for (size_t n = text.empty() ? 0 : pick(4); n > 0; --n) {
    text[pick(text.size())] =
        pick(2) == 0 ? special[pick(sizeof special)] : static_cast<char>(random() & 0xff);
  }
  if (!text.empty() && pick(4) == 0) text.resize(pick(text.size()));
  return text;
}

// The model may hold only what the reader accepts.
void ExpectAValidModel(const std::string &text) {
  const KepSettings &s = KepMutableSettings();
  EXPECT_TRUE(s.killDelay >= 2 && s.killDelay <= 60) << text;
  EXPECT_LE(s.killRetries, 10u) << text;
  EXPECT_LE(s.wdTimeout, 300u) << text;
  EXPECT_TRUE(s.startSyncTime >= 1 && s.startSyncTime <= 20) << text;
  EXPECT_TRUE(s.initSyncTime >= 1 && s.initSyncTime <= 60) << text;
  EXPECT_TRUE(s.stopSyncTime >= 1 && s.stopSyncTime <= 60) << text;
  EXPECT_TRUE(s.deathMonitorPeriod >= 10 && s.deathMonitorPeriod <= 3600) << text;
  EXPECT_TRUE(s.deathMonitorMaxDeath >= 2 && s.deathMonitorMaxDeath <= 100) << text;
  EXPECT_TRUE(s.deathMonitorAction == KEP_DEATH_ACTION_NOT_SET ||
              (s.deathMonitorAction >= KEP_DEATH_ACTION_RESET &&
               s.deathMonitorAction <= KEP_DEATH_ACTION_HALT))
      << text;
  for (const std::string &entry : KepGetGlobalEnvList()) {
    EXPECT_NE(entry.find('='), std::string::npos) << text;
  }
  uint32_t index = 0;
  for (const KepApp &app : KepGetAppList()) {
    EXPECT_EQ(app.index, index++) << text;
    EXPECT_EQ(app.state, KEP_APP_STATE_CONFIGURED) << text;
    EXPECT_FALSE(app.name.empty()) << text;
    EXPECT_EQ(app.name.find_first_of(" \t\r\n"), std::string::npos) << text;
    EXPECT_LE(app.startLevel, 100u) << text;
    EXPECT_NE(app.deathAction, static_cast<uint32_t>(KEP_DEATH_ACTION_NOT_SET)) << text;
    EXPECT_LE(app.deathAction, static_cast<uint32_t>(KEP_DEATH_ACTION_HALT)) << text;
    for (const std::string &entry : app.envList) {
      EXPECT_NE(entry.find('='), std::string::npos) << text;
    }
  }
}

// The reader reports a failing line on standard error; thousands of them
// would bury the test output.
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(2)) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      fflush(stderr);
      dup2(null, 2);
      close(null);
    }
  }
  ~QuietStderr() {
    fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
    }
  }

 private:
  int saved_;
};

}  // namespace

TEST(ConfigRandom, RandomAndMutatedFilesGiveAKnownStatusAndAValidModel) {
  TempDir temp;
  const std::string syncDir = temp.File("sync");
  const char *savedSyncDir = kepSyncFilesDir;
  kepSyncFilesDir = syncDir.c_str();
  LogCapture log;
  std::mt19937 random(20240601);
  const std::string path = temp.File("random.conf");
  int failures = 0;
  int successes = 0;
  int withApps = 0;
  std::set<int> seen;
  {
    QuietStderr quiet;
    for (int i = 0; i < 3000 && failures < 5; ++i) {
      ResetModel();
      log.Clear();
      const std::string text = RandomConfig(random);
      temp.Write("random.conf", text);
      const int status = KepReadConfig(path.c_str());
      if (kReaderStatuses.count(status) == 0 || !log.Contains("lines read from")) {
        ++failures;
        ADD_FAILURE() << "status " << status << " for:\n" << text << "\n" << log.Dump();
      }
      ExpectAValidModel(text);
      seen.insert(status);
      successes += status == 0;
      withApps += !KepGetAppList().empty();
    }
  }
  // The mix must reach deep into files, not only fail at their first line.
  EXPECT_GT(successes, 1000);
  EXPECT_GE(seen.size(), 8u);
  EXPECT_GT(withApps, 800);
  ResetModel();
  kepSyncFilesDir = savedSyncDir;
}
