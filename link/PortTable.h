// The serial driver's per-port state: one entry for each of the ports 1 to 4.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "link/SerialDevice.h"

namespace marvolen {

struct PortEntry {
  // The open device; null while the port is closed.
  std::unique_ptr<SerialDevice> handle;
  // Set by the last step of OpenPort: the port is open and fully configured. (The device
  // itself signals finished transfers, so there is no separate event object to keep.)
  bool ioEvent = false;
  // The settings as read from the device and then changed by OpenPort. WritePort takes the
  // speed from here, SetPortLines the RTS and DTR control modes.
  LineSettings lineSettings;
  // What OpenPort installed.
  CommTimeouts timeouts;
  // The queue status from the last ClearPortErrors; cbInQue is the number of bytes waiting.
  CommStatus status;
  std::uint32_t inQueueSize = 0;
  std::uint32_t outQueueSize = 0;
  // What the last ReadPort read; empty when nothing was waiting or the read failed.
  std::string received;
  // Bytes a reader took but did not use and handed back (SerialLine::Unread): they count as
  // waiting and come first with the next ReadPort; purging the input discards them.
  std::string unread;
  // The modem status bits of the last successful ReadModemStatus (kMsCtsOn, kMsRlsdOn...).
  // A closed port reads as all lines off.
  std::uint32_t modemStatus = 0;

  bool IsOpen() const { return handle != nullptr; }
};

class PortTable {
 public:
  static constexpr int kFirstPort = 1;
  static constexpr int kLastPort = 4;

  // The entry of `port`, or null for a port number the table has no entry for.
  PortEntry* Find(int port) {
    return port >= kFirstPort && port <= kLastPort ? &entries_[port - kFirstPort] : nullptr;
  }
  const PortEntry* Find(int port) const {
    return port >= kFirstPort && port <= kLastPort ? &entries_[port - kFirstPort] : nullptr;
  }

 private:
  std::array<PortEntry, kLastPort - kFirstPort + 1> entries_;
};

}  // namespace marvolen
