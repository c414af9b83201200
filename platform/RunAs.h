// Set-up tools run as root on behalf of the station's service: whatever they create must
// belong to the user the station runs as, or the station cannot write it later. Rather than
// creating files as root and handing them over afterwards (a file left root-owned when the
// hand-over fails), the tool drops root first and does all its work as that user, so the
// system's own checks apply as they will to the station.
#pragma once

#include <sys/types.h>

#include <string>

namespace marvolen {

struct FileOwner {
  uid_t uid = 0;
  gid_t gid = 0;
};

// Whether the process works as root, where a path someone else can change is a danger.
bool RunsAsRoot();

// The account `name`. Throws StationError (in Spanish, naming it) when there is none (the
// refusal kNoSuchUser) or the account database cannot be read (its errno).
FileOwner UserNamed(const std::string& name);

// When the process runs as root and `owner` is another user: becomes that user for good
// (its groups, then its group, then its user) and checks that root cannot be taken back.
// Otherwise nothing changes. Throws StationError when any step fails (its errno, or the
// refusal kStillPrivileged): the caller has written nothing yet and must stop.
void BecomeOwner(const FileOwner& owner);

}  // namespace marvolen
