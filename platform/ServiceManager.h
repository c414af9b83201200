// What the station says to the service manager and its journal goes out as datagrams on local
// sockets: one message a datagram, no library (a client library would map about 0.7 MB of pages
// into every line's process).
#pragma once

#include <string>
#include <string_view>

namespace marvolen {

// The journal's socket for structured entries.
inline constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

// Whether a datagram may wait for room in the receiver's queue. The service manager's
// notifications wait (a lost "READY=1" would leave the unit starting); a journal entry does not
// (the station must not hang on a busy journal: the entry goes to standard output instead).
enum class WhenQueueFull { kWait, kGiveUp };

// Sends `message` as one datagram to the socket named by `socket`, a path or an abstract name
// written with a leading '@'. Gives the system's error code, 0 when sent; EINVAL for a name
// that is neither, EAGAIN when the queue is full and `full` is kGiveUp.
int SendDatagram(const std::string& socket, std::string_view message,
                 WhenQueueFull full = WhenQueueFull::kWait);
// Whether SendDatagram's `error` says only that the receiver had no room just then.
bool QueueFull(int error);

}  // namespace marvolen
