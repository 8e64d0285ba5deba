// The reader with each of its allocations failing in turn: the failure becomes
// a status code, never an escaping std::bad_alloc.
//
// This file replaces the global operator new and delete of the unit test
// binary with plain malloc and free, so that one allocation can be made to
// fail. While no failure is armed they behave like the library's own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <set>
#include <string>

#include "ZelLog.h"
#include "kep_config.h"
#include "kep_test.h"

namespace {

// Counts allocations while armed; the one numbered failAt fails.
bool armed = false;
unsigned long allocations = 0;
unsigned long failAt = 0;

void *Allocate(size_t size) {
  if (armed && ++allocations == failAt) return nullptr;
  return malloc(size == 0 ? 1 : size);
}

// The hook must not allocate while a failure is armed.
char lastError[512];
void RememberError(int level, int, const char *, const char *text) {
  if (level == LOG_MSG_ERROR && text != nullptr) snprintf(lastError, sizeof lastError, "%s", text);
}

// Everything the reader built, as one text.
std::string Model() {
  std::string text;
  for (const std::string &entry : KepGetGlobalEnvList()) text += entry + "\n";
  for (const KepApp &app : KepGetAppList()) {
    text += app.name + " " + app.startFile.value_or("-") + " " + app.wdFile.value_or("-") + "\n";
    for (const std::string &arg : app.argList) text += " " + arg;
    for (const std::string &entry : app.envList) text += " " + entry;
    text += "\n";
  }
  return text;
}

}  // namespace

void *operator new(size_t size) {
  void *p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t size) {
  void *p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void *operator new(size_t size, const std::nothrow_t &) noexcept { return Allocate(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return Allocate(size); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }

TEST(ConfigAllocation, EveryFailedAllocationBecomesAStatus) {
  TempDir temp;
  const std::string syncDir = temp.File("a-synchronisation-folder-with-a-long-name");
  const char *savedSyncDir = kepSyncFilesDir;
  kepSyncFilesDir = syncDir.c_str();
  // Names and words longer than a short string's inline buffer, so that every
  // copy allocates.
  const std::string path = temp.Write("kep.conf",
                                      "globalEnv GLOBAL_VARIABLE \"a global value long enough\"\n"
                                      "application /usr/local/bin/a-long-application-name {\n"
                                      "  arg \"--first-long-argument --second-long-argument\"\n"
                                      "  env APPLICATION_VARIABLE \"an application value\"\n"
                                      "  startSync\n"
                                      "  stopSync /var/run/an-explicit-stop-file-name\n"
                                      "  deathAction restart\n"
                                      "}\n"
                                      "application another-long-application-name {\n"
                                      "  wdEnable\n"
                                      "}\n");

  Log_SetExtLogFn(RememberError);
  ResetModel();
  allocations = 0;
  failAt = 0;
  armed = true;
  ASSERT_EQ(KepReadConfig(path.c_str()), 0);
  armed = false;
  const unsigned long total = allocations;
  const std::string full = Model();
  ASSERT_GT(total, 10u);

  std::set<int> statuses;
  for (failAt = 1; failAt <= total; ++failAt) {
    ResetModel();
    lastError[0] = '\0';
    allocations = 0;
    armed = true;
    int status = -1;
    try {
      status = KepReadConfig(path.c_str());
    } catch (...) {
      armed = false;
      ADD_FAILURE() << "an exception escaped at allocation " << failAt;
      continue;
    }
    armed = false;
    statuses.insert(status);
    if (status == 0) {
      // The allocation that failed was the logger's own (it drops that
      // message): the model must be complete.
      EXPECT_EQ(Model(), full) << "allocation " << failAt;
      continue;
    }
    EXPECT_TRUE(status == 1004 || status == 1015 || status == 1031)
        << "allocation " << failAt << ": status " << status;
    EXPECT_NE(lastError[0], '\0') << "allocation " << failAt << " failed without a message";
  }
  // Every kind of copy was hit: a name or word, an entry or path, a default path.
  statuses.erase(0);
  EXPECT_EQ(statuses, (std::set<int>{1004, 1015, 1031}));

  Log_SetExtLogFn(nullptr);
  ResetModel();
  kepSyncFilesDir = savedSyncDir;
}
