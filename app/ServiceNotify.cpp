#include "app/ServiceNotify.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/ServiceManager.h"

namespace marvolen {

namespace {

// The watchdog time the service manager set for this process, zero when none.
Millis WatchdogFromEnvironment() {
  const char* text = std::getenv("WATCHDOG_USEC");
  if (text == nullptr) return Millis(0);
  char* end = nullptr;
  errno = 0;
  const unsigned long long usec = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || usec == 0) return Millis(0);
  // The watchdog is another process's when WATCHDOG_PID names it.
  if (const char* pid = std::getenv("WATCHDOG_PID");
      pid != nullptr && std::strtol(pid, nullptr, 10) != static_cast<long>(::getpid())) {
    return Millis(0);
  }
  return std::chrono::duration_cast<Millis>(std::chrono::microseconds(usec));
}

}  // namespace

ServiceNotifier::ServiceNotifier(const Clock& clock) : clock_(clock) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') return;
  send_ = [path = std::string(socket)](std::string_view message) {
    return SendDatagram(path, message);
  };
  ping_every_ = WatchdogFromEnvironment() / 2;
  pinged_at_ = clock_.Now();
}

ServiceNotifier::ServiceNotifier(const Clock& clock, Sender send, Millis watchdog)
    : clock_(clock), send_(std::move(send)), ping_every_(watchdog / 2), pinged_at_(clock.Now()) {}

void ServiceNotifier::Send(const std::string& message) {
  if (!send_) return;
  if (const int rc = send_(message); rc != 0 && !told_) {
    // Nothing here can stop the station: without the watchdog pings the service manager
    // restarts it, which is the safe side. Said once on the standard error (the journal).
    told_ = true;
    std::fprintf(stderr, "marvolen: no se pudo avisar al gestor de servicios (%s): %s\n",
                 message.substr(0, message.find('=')).c_str(), std::strerror(rc));
  }
}

void ServiceNotifier::Ready() {
  if (ready_) return;
  ready_ = true;
  Send("READY=1");
}

void ServiceNotifier::Status(std::string_view words) {
  if (words == status_) return;
  status_ = std::string(words);
  Send("STATUS=" + status_);
}

void ServiceNotifier::Stopping() {
  Send("STOPPING=1");
}

void ServiceNotifier::Alive() {
  if (ping_every_.count() <= 0 || clock_.Now() - pinged_at_ < ping_every_) return;
  pinged_at_ = clock_.Now();
  Send("WATCHDOG=1");
}

Millis ServiceNotifier::UntilPing() const {
  if (ping_every_.count() <= 0) return Millis(60000);
  const auto left = std::chrono::ceil<Millis>(pinged_at_ + ping_every_ - clock_.Now());
  return std::max(left, Millis(0));
}

}  // namespace marvolen
