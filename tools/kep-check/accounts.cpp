// kep-check's errors about users and groups that the device does not know:
// kep would not start those applications.
#include "accounts.h"

#include "check.h"

std::vector<std::string> KepCheckAccounts(const KepReadNotes &notes, const std::string &root) {
  std::vector<std::string> out;
  size_t position = 0;
  for (const KepApp &app : KepGetAppList()) {
    const KepAppPrivileges &p = app.privileges;
    KepAccounts accounts;
    std::string problem;
    if ((p.user || p.group) &&
        !KepResolveAccounts(p.user ? p.user->c_str() : nullptr,
                            p.group ? p.group->c_str() : nullptr, 0, root, &accounts, &problem)) {
      out.push_back(KepCheckLabel(app, position, notes.blocks) + ": " + problem);
    }
    ++position;
  }
  return out;
}
