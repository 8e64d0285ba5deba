// An application's user and group as the numbers its start needs: kep looks
// them up before it forks the application (the child may look nothing up),
// kep-check to tell a name that the device does not know.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct KepAccounts {
  bool setUid = false;  // false: the uid stays kep's own
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // the supplementary groups, as initgroups gives them
};

// Resolves user and group, each a name, an id (digits) or null when it is not
// configured: the uid; the gid of group, or else the user's primary group;
// the supplementary groups of the user (of ownUid when user is null) from the
// group database, the gid first. Looks them up in the running system's
// databases when root is empty, else in root/etc/passwd and root/etc/group
// (a device's root file system on a host), which are read as files. false,
// with *problem telling why ("user www is unknown"), when one cannot be
// resolved; a user given as an id needs no entry, but then a group.
bool KepResolveAccounts(const char *user, const char *group, uid_t ownUid, const std::string &root,
                        KepAccounts *accounts, std::string *problem);
