// The office's end of the telephone line: a byte stream to the station's modem. The call
// logic and the transfers talk to the station only through this interface, so tests can put
// a scripted station (or the other end of a socketpair) in its place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/SystemCalls.h"

namespace marvolen::office {

class OfficeLine {
 public:
  virtual ~OfficeLine() = default;
  // Sends `bytes`; false when the line is down (nothing more will get through).
  virtual bool Send(std::string_view bytes) = 0;
  // Waits up to `timeout` for bytes and returns what has arrived; empty when nothing came in
  // time or the line is down.
  virtual std::string Receive(Millis timeout) = 0;
  // True once the far end has hung up or this end has.
  virtual bool Down() const = 0;
  // Hangs up. Safe to call more than once.
  virtual void HangUp() = 0;
  // Throws away whatever has arrived and not yet been read.
  virtual void Purge() = 0;
};

// A line over a connected stream socket (the modem emulator's TCP line, or a socketpair in
// tests). Waits go through `clock`.
class SocketLine final : public OfficeLine {
 public:
  // Takes ownership of `fd`.
  SocketLine(int fd, Clock& clock);
  ~SocketLine() override;
  SocketLine(const SocketLine&) = delete;
  SocketLine& operator=(const SocketLine&) = delete;

  bool Send(std::string_view bytes) override;
  std::string Receive(Millis timeout) override;
  bool Down() const override { return !fd_.valid() || peer_gone_; }
  void HangUp() override;
  void Purge() override;

 private:
  // Reads what is waiting without blocking; marks the line down at end of stream.
  std::string ReadWaiting();

  UniqueFd fd_;
  Clock& clock_;
  bool peer_gone_ = false;
};

// Wraps a line and hands out bytes pushed back into it before anything new. The call keeps
// the bytes that followed a command line here, so a transfer that starts right behind it
// still sees them.
class PushbackLine final : public OfficeLine {
 public:
  explicit PushbackLine(OfficeLine& inner) : inner_(inner) {}

  void Unread(std::string_view bytes) { pending_.insert(0, bytes); }

  bool Send(std::string_view bytes) override { return inner_.Send(bytes); }
  std::string Receive(Millis timeout) override;
  bool Down() const override { return pending_.empty() && inner_.Down(); }
  void HangUp() override { inner_.HangUp(); }
  void Purge() override;

 private:
  OfficeLine& inner_;
  std::string pending_;
};

// Dials HOST:PORT over TCP. Gives the connected descriptor, or -1 with `error` set.
int DialTcp(const std::string& host, const std::string& port, std::string& error);

}  // namespace marvolen::office
