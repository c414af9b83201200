#include "platform/RunAs.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Errors.h"

namespace marvolen {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw SystemFailure(errno, what);
}

}  // namespace

bool RunsAsRoot() {
  return ::geteuid() == 0;
}

FileOwner UserNamed(const std::string& name) {
  errno = 0;
  const struct passwd* pw = ::getpwnam(name.c_str());
  if (pw == nullptr) {
    if (errno != 0) Fail("No se puede buscar el usuario " + name);
    throw StationError(StationRefusal::kNoSuchUser, "No existe el usuario " + name);
  }
  return {pw->pw_uid, pw->pw_gid};
}

void BecomeOwner(const FileOwner& owner) {
  if (::geteuid() != 0 || owner.uid == 0) return;
  // The user's own groups (dialout for the serial ports among them) when it has an account
  // entry; else only the owner's group.
  errno = 0;
  const struct passwd* pw = ::getpwuid(owner.uid);
  if (pw == nullptr && errno != 0)
    Fail("No se puede buscar el usuario " + std::to_string(owner.uid));
  if (pw != nullptr) {
    if (::initgroups(pw->pw_name, owner.gid) != 0) Fail(std::string("initgroups ") + pw->pw_name);
  } else if (::setgroups(1, &owner.gid) != 0) {
    Fail("setgroups");
  }
  if (::setresgid(owner.gid, owner.gid, owner.gid) != 0) Fail("setresgid");
  if (::setresuid(owner.uid, owner.uid, owner.uid) != 0) Fail("setresuid");
  // A process that could become root again has not let go.
  if (::setuid(0) == 0 || ::geteuid() != owner.uid || ::getegid() != owner.gid) {
    throw StationError(StationRefusal::kStillPrivileged, "No se pudo dejar de ser root");
  }
}

}  // namespace marvolen
