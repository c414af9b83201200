// The modem emulator: a HayesModem whose telephone line is a TCP listener. A TCP connection
// is an incoming call; the caller's side of the stream carries the line's bytes and nothing
// else. Closing the connection is the caller hanging up; the modem hanging up an answered call
// (DTR drop with &D2, ATH, ATZ, the port closing) closes it, and so does a caller that rang
// unanswered for the no-answer limit, or that finds the line busy.
//
// A real modem stays powered while the station closes and reopens its port, as it does after
// every call: its telephone line rings whether the port is open or not. The emulator's
// listening socket and a caller still ringing outlive a closed port likewise, kept by the
// ModemPark of the opener until the same address is opened again; a connection made meanwhile
// waits in the listening socket's queue and rings once the port is open.
//
// Device names: "tcp-modem:HOST:PORT", optionally followed by ",paced" to move the bytes at
// the port speed (ten bit times each). HOST may be a name, an IPv4 address or a bracketed
// IPv6 address ("tcp-modem:[::1]:5000").
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/ModemPort.h"
#include "platform/SystemCalls.h"

namespace marvolen {

inline constexpr std::string_view kModemPrefix = "tcp-modem:";

struct ModemAddress {
  std::string host;
  std::string port;
  bool paced = false;
};

// Nullopt when `name` is not a well-formed "tcp-modem:" name.
std::optional<ModemAddress> ParseModemAddress(std::string_view name);

// The telephone lines of closed ports, by address, until a port opens that address again;
// closed when the park goes (with the opener that owns it) or when a port of its opener opens
// another address.
class ModemPark {
 public:
  ModemPark() = default;
  ModemPark(const ModemPark&) = delete;
  ModemPark& operator=(const ModemPark&) = delete;

 private:
  friend class TcpModem;
  struct Line {
    UniqueFd listener;
    UniqueFd caller;  // ringing; none when no one rang as the port closed
    MonoTime ringing_since{};
  };
  std::map<std::string, Line> lines_;
};

class TcpModem final : public ModemPort {
 public:
  // Listens on the address (SO_REUSEADDR, so the port can be listened on again right after
  // a hang-up). The error is the errno (EADDRINUSE, EADDRNOTAVAIL for a name that does not
  // resolve...). With a park, the line an earlier port of the address left there is taken up
  // again, and the line goes back there when the port closes.
  static OpenedDevice Listen(const ModemAddress& address, Clock& clock,
                             std::shared_ptr<ModemPark> park = nullptr);
  // Hangs up an answered call; a caller still ringing and the listening socket go to the park
  // (without one: are closed).
  ~TcpModem() override;

  bool CallerConnected() const { return conn_.valid(); }
  // The epoll descriptor, its watches brought up to date first (a read may have made room in
  // the station's queue for more of the caller's bytes). The caller is about to sleep on it:
  // the next call into the port looks at the sockets again.
  DeviceWake Wake() override;

 protected:
  // Looks at the sockets (one epoll_wait that does not wait) only when they may have news
  // the last look did not see: after a wait on the descriptor (the port's own, or its host's
  // after Wake), once the clock has moved on since the last look, or when the station's
  // queue has room again. The several calls a tick makes into the port then cost one look,
  // and a look touches only the sockets it found news on, so that a call into the port costs
  // no string of failing reads.
  void PumpLine() override;
  void FlushLine() override;
  bool WaitLine(Millis limit, int stop_fd) override;
  bool LineBacklog() const override { return !unsent_.empty(); }
  int LineDescriptor() const override { return epoll_.get(); }
  void SendToCaller(std::string_view bytes) override;
  void HangUp() override;

 private:
  // The tests' look inside (tests/link/ModemProbe.h): the listening port when the address
  // asked for port 0, the one descriptor that polls readable when a caller or caller bytes
  // arrive, and how many system calls the port has made to look at its sockets.
  friend class ModemProbe;
  std::uint16_t LocalPort() const;
  int PollDescriptor() const { return epoll_.get(); }
  std::uint64_t SocketLooks() const { return socket_looks_; }

  TcpModem(Clock& clock, UniqueFd listener, UniqueFd epoll);
  // A listening socket on the address, or none with errno set.
  static UniqueFd Bind(const ModemAddress& address);
  // The key of the address the listener is bound to, in the park.
  std::string ParkKey() const;
  void AcceptCallers();
  // Takes a caller on the line, ringing since `since`; busy when another is there.
  void TakeCaller(UniqueFd caller, MonoTime since);
  void ReadCaller();
  void FlushCaller();
  void CallerGone();
  void CloseConnection();
  void Watch();
  bool LookDue() const;

  std::shared_ptr<ModemPark> park_;
  std::string host_;
  UniqueFd listener_;
  UniqueFd epoll_;
  UniqueFd conn_;
  std::uint32_t watching_ = 0;
  std::string unsent_;
  // A look at the sockets is owed (see PumpLine); when the last one was made.
  bool look_due_ = true;
  MonoTime looked_at_{};
  // While the station's queue is full the caller's bytes are left with TCP and only the end
  // of its stream is watched for. Once that end has shown behind bytes still unread, it is
  // no longer watched (it would wake the station without end): the read that follows when
  // the queue has room comes to it.
  bool end_behind_bytes_ = false;
  std::uint64_t socket_looks_ = 0;
};

}  // namespace marvolen
