#include "accounts.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

struct User {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

enum class Found { kYes, kNo, kFailed };

bool IsId(const char *text) { return *text != '\0' && strspn(text, "0123456789") == strlen(text); }

// Where the names are looked up: the running system's databases, or the files
// of a root file system.
class Database {
 public:
  explicit Database(const std::string &root) : root_(root) {}

  // The user named name, or with uid when name is null.
  Found FindUser(const char *name, uid_t uid, User *user, std::string *problem) {
    if (!root_.empty()) return FindInFile("/etc/passwd", name, uid, user, problem);
    std::vector<char> buffer(1024);
    for (;;) {
      struct passwd entry, *result = nullptr;
      int error = name != nullptr ? getpwnam_r(name, &entry, buffer.data(), buffer.size(), &result)
                                  : getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result);
      if (error == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (result != nullptr) *user = {entry.pw_name, entry.pw_uid, entry.pw_gid};
      if (result != nullptr || error == 0 || error == ENOENT || error == ESRCH)
        return result != nullptr ? Found::kYes : Found::kNo;
      *problem = "looking up user " + Text(name, uid) + " failed, errno = " + std::to_string(error);
      return Found::kFailed;
    }
  }

  Found FindGroup(const char *name, gid_t *gid, std::string *problem) {
    User group;
    if (!root_.empty()) {
      Found found = FindInFile("/etc/group", name, 0, &group, problem);
      *gid = group.uid;
      return found;
    }
    std::vector<char> buffer(1024);
    for (;;) {
      struct group entry, *result = nullptr;
      int error = getgrnam_r(name, &entry, buffer.data(), buffer.size(), &result);
      if (error == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (result != nullptr) *gid = entry.gr_gid;
      if (result != nullptr || error == 0 || error == ENOENT || error == ESRCH)
        return result != nullptr ? Found::kYes : Found::kNo;
      *problem =
          "looking up group " + std::string(name) + " failed, errno = " + std::to_string(error);
      return Found::kFailed;
    }
  }

  // gid, then the groups that name the user as a member, as initgroups sets them.
  bool Groups(const std::string &user, gid_t gid, std::vector<gid_t> *groups,
              std::string *problem) {
    if (root_.empty()) {
      int count = 32;
      for (;;) {
        groups->resize(static_cast<size_t>(count));
        int wanted = count;
        if (getgrouplist(user.c_str(), gid, groups->data(), &wanted) >= 0) {
          groups->resize(static_cast<size_t>(wanted));
          return true;
        }
        if (wanted <= count) wanted = count * 2;  // a lookup that failed says nothing
        if (wanted > 65536) break;
        count = wanted;
      }
      *problem = "looking up the groups of user " + user + " failed";
      return false;
    }
    std::vector<std::vector<std::string>> lines;
    if (!Read("/etc/group", &lines, problem)) return false;
    *groups = {gid};
    for (const auto &fields : lines) {
      const gid_t other = static_cast<gid_t>(strtoul(fields[2].c_str(), nullptr, 10));
      std::istringstream members(fields.size() > 3 ? fields[3] : "");
      for (std::string member; std::getline(members, member, ',');) {
        if (member == user && std::find(groups->begin(), groups->end(), other) == groups->end())
          groups->push_back(other);
      }
    }
    return true;
  }

 private:
  static std::string Text(const char *name, unsigned long id) {
    return name != nullptr ? name : std::to_string(id);
  }

  // The entries of root/file, split at ':' (comments and short lines left out).
  bool Read(const char *file, std::vector<std::vector<std::string>> *lines, std::string *problem) {
    std::ifstream in(root_ + file);
    if (!in) {
      *problem = "cannot read " + root_ + file + ", errno = " + std::to_string(errno);
      return false;
    }
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> fields;
      std::istringstream split(line);
      for (std::string field; std::getline(split, field, ':');) fields.push_back(field);
      if (fields.size() >= 3 && fields[0][0] != '#' && IsId(fields[2].c_str()))
        lines->push_back(fields);
    }
    return true;
  }

  // passwd or group: by name, or by id (the third field) when name is null.
  // For a group, the gid lands in user->uid.
  Found FindInFile(const char *file, const char *name, unsigned long id, User *user,
                   std::string *problem) {
    std::vector<std::vector<std::string>> lines;
    if (!Read(file, &lines, problem)) return Found::kFailed;
    for (const auto &fields : lines) {
      const unsigned long fieldId = strtoul(fields[2].c_str(), nullptr, 10);
      if (name != nullptr ? fields[0] != name : fieldId != id) continue;
      user->name = fields[0];
      user->uid = static_cast<uid_t>(fieldId);
      user->gid =
          fields.size() > 3 ? static_cast<gid_t>(strtoul(fields[3].c_str(), nullptr, 10)) : 0;
      return Found::kYes;
    }
    return Found::kNo;
  }

  std::string root_;
};

// An id as it stands, or the gid of a name.
bool ResolveGroup(Database &database, const char *group, const std::string &root, gid_t *gid,
                  std::string *problem) {
  if (IsId(group)) {
    *gid = static_cast<gid_t>(strtoul(group, nullptr, 10));
    return true;
  }
  Found known = database.FindGroup(group, gid, problem);
  if (known == Found::kNo)
    *problem = "group " + std::string(group) + " is unknown" +
               (root.empty() ? "" : " in " + root + "/etc/group");
  return known == Found::kYes;
}

}  // namespace

bool KepResolveAccounts(const char *user, const char *group, uid_t ownUid, const std::string &root,
                        KepAccounts *accounts, std::string *problem) {
  Database database(root);
  const std::string where = root.empty() ? "" : " in " + root + "/etc/passwd";
  User entry;
  Found found = Found::kNo;
  *accounts = KepAccounts{};
  accounts->setUid = user != nullptr;
  if (user != nullptr && IsId(user)) {
    accounts->uid = static_cast<uid_t>(strtoul(user, nullptr, 10));
    found = database.FindUser(nullptr, accounts->uid, &entry, problem);
  } else if (user != nullptr) {
    found = database.FindUser(user, 0, &entry, problem);
    if (found == Found::kNo) *problem = "user " + std::string(user) + " is unknown" + where;
    if (found != Found::kYes) return false;
    accounts->uid = entry.uid;
  } else {
    found = database.FindUser(nullptr, ownUid, &entry, problem);
  }
  if (found == Found::kFailed) return false;
  if (group != nullptr) {
    if (!ResolveGroup(database, group, root, &accounts->gid, problem)) return false;
  } else if (found == Found::kYes) {
    accounts->gid = entry.gid;
  } else {
    *problem = "user " + std::string(user) + " has no entry" +
               (where.empty() ? " in the user database" : where) + ", so a group must be given";
    return false;
  }
  if (found != Found::kYes) {
    accounts->groups = {accounts->gid};
    return true;
  }
  return database.Groups(entry.name, accounts->gid, &accounts->groups, problem);
}
