// What the station tells the service manager that started it: ready once the modem has
// answered, the line's state in words, that its main loop still runs (the watchdog), and that
// it is stopping. Outside a service (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace marvolen {

class ServiceNotifier {
 public:
  // Sends one message; gives 0 or the system's error code.
  using Sender = std::function<int(std::string_view message)>;

  // From the process environment: NOTIFY_SOCKET, and WATCHDOG_USEC (with WATCHDOG_PID, when
  // set, naming this process). Each message is one datagram (SendDatagram).
  explicit ServiceNotifier(const Clock& clock);
  // For tests: `send` takes every message (none is sent when it is empty); pings every half
  // of `watchdog` (none when zero).
  ServiceNotifier(const Clock& clock, Sender send, Millis watchdog);

  bool enabled() const { return static_cast<bool>(send_); }
  // "READY=1", the first time only.
  void Ready();
  // "STATUS=" + `words`, when they differ from the last sent.
  void Status(std::string_view words);
  // "STOPPING=1".
  void Stopping();
  // "WATCHDOG=1" when half the watchdog time has passed since the last ping. The station
  // calls it from its main loop and from the waits inside a tick that look at the stop
  // request: a loop that no longer gets there stops the pings, and the service manager
  // restarts the station.
  void Alive();
  // How long the loop may sleep before the next ping is due; a minute without a watchdog.
  Millis UntilPing() const;

 private:
  void Send(const std::string& message);

  const Clock& clock_;
  Sender send_;
  Millis ping_every_{0};
  MonoTime pinged_at_{};
  bool ready_ = false;
  std::string status_;
  bool told_ = false;  // a failed send has been reported
};

}  // namespace marvolen
