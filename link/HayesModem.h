// A Hayes-compatible modem, seen from both of its sides: the serial port towards the station
// (AT commands, echo, result codes, carrier detect) and the telephone line towards a caller.
// It is pure logic on a Clock; ModemPort puts it behind a serial port and TcpModem gives it
// a TCP listener for a telephone line.
//
// Commands (letters in either case, blanks ignored, several per line as in "ATE0S0=1&D2"):
//   Z reset · E0/E1 echo · H0 hang up · A answer · O back on line · I0-9 identification ·
//   Sn=v set register · Sn? show register · &D0-3 DTR use · &F factory settings ·
//   M, L, X accepted and ignored. Anything else answers ERROR.
// Result codes are verbose, framed by S3 and S4 (CR LF): "OK", "ERROR", "RING",
// "CONNECT <speed>", "NO CARRIER".
// Calls: a caller that arrives while the modem is idle rings at once and then every 6 s,
// whatever the modem is set to, as a telephone rings whether or not anyone answers it. Once S0
// is above 0 (and, with &D1-3, DTR is on) the modem answers half a second after the ring that
// brings the count (S1) to S0, and reports CONNECT; S0 set while a caller rings answers at the
// next ring. Until then the caller is held: ATZ, ATH, a DTR drop or the port closing hang up
// an answered call only, never a ringing one (the modem has not gone off hook). A caller
// nobody answers gives up after kNoAnswerLimit. A caller that arrives while another rings or
// is on the line gets busy. &D2 or &D3: dropping DTR hangs up.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace marvolen {

// How long a caller lets the phone ring unanswered before giving up: a calling modem waits S7
// seconds for the carrier (50 to 60 on common modems), and exchanges stop ringing a line after
// about a minute; ten rings at the 6 s cadence.
inline constexpr Millis kNoAnswerLimit{60000};

// The telephone side, as the modem sees it.
class TelephoneLine {
 public:
  virtual ~TelephoneLine() = default;
  virtual void SendToCaller(std::string_view bytes) = 0;
  // The modem ends the call (DTR drop, ATH, ATZ, a dropped line).
  virtual void HangUp() = 0;
};

enum class LineDirection { kToStation, kToCaller };

// A fault on the telephone line: after `after` bytes pass in `direction`, the next `count`
// bytes are lost (xor_mask 0) or corrupted (each XORed with xor_mask).
struct LineFault {
  LineDirection direction = LineDirection::kToStation;
  std::size_t after = 0;
  std::size_t count = 1;
  std::uint8_t xor_mask = 0;
};

// Bytes on their way over a line of a given speed: each takes its bit times to arrive.
class PacedQueue {
 public:
  // A zero time per byte releases everything at once.
  void Push(std::string_view bytes, MonoTime now, std::chrono::nanoseconds per_byte);
  // Appends to `out` what has fully arrived by `now`.
  void Release(MonoTime now, std::string& out);
  // When the first `batch` bytes waiting (or all of them, when fewer wait) have arrived.
  std::optional<MonoTime> BatchArrival(std::size_t batch) const;
  bool Empty() const { return bytes_.empty(); }
  std::size_t Size() const { return bytes_.size(); }
  void Clear() { bytes_.clear(); }

 private:
  std::string bytes_;
  MonoTime next_at_{};
  MonoTime last_done_{};
  std::chrono::nanoseconds per_byte_{0};
};

class HayesModem {
 public:
  enum class State { kIdle, kRinging, kOnline, kOnlineCommand };

  HayesModem(Clock& clock, TelephoneLine& line);

  // --- The serial port side ---
  void FromStation(std::string_view bytes);
  // Bytes the station can read now.
  std::size_t ForStationWaiting() const { return for_station_.size(); }
  // Caller bytes still on their way to the station (pacing).
  bool ForStationPending() const { return !paced_to_station_.Empty(); }
  std::string TakeForStation(std::size_t count);
  void ClearForStation();
  void ClearForCaller() { paced_to_caller_.Clear(); }
  // Bytes the station wrote that are still on their way to the caller (pacing).
  bool ForCallerPending() const { return !paced_to_caller_.Empty(); }
  void SetDtr(bool on);
  void SetRts(bool on) { rts_ = on; }
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  bool Carrier() const { return state_ == State::kOnline || state_ == State::kOnlineCommand; }
  // The port speed: reported with CONNECT, and the pace of the line when pacing is on.
  void SetLineSpeed(std::uint32_t baud) { speed_ = baud; }
  // Paced, bytes cross the line at ten bit times each; otherwise at once.
  void SetPacing(bool on) { pacing_ = on; }
  // The station's receive queue: caller bytes are taken only while it has room.
  void SetStationQueueLimit(std::size_t bytes) { station_queue_limit_ = bytes; }
  bool CanTakeFromCaller() const;

  // --- The telephone side ---
  // A caller arrives: true when the modem rings for it, false when it is busy (a caller
  // rings or is on the line already).
  bool IncomingCall() { return IncomingCall(clock_.Now()); }
  // A caller who has been ringing since `since` (while the port was closed): the rings keep
  // their cadence and the no-answer limit counts from then.
  bool IncomingCall(MonoTime since);
  // When the caller now ringing started to ring; nullopt when none rings.
  std::optional<MonoTime> RingingSince() const;
  void FromCaller(std::string_view bytes);
  void CallerHungUp();

  // Brings rings, the answer and paced bytes up to the clock.
  void Poll();
  // When Poll has something to do next without outside input. A paced line counts as due
  // once a batch of bytes has crossed it (16 bytes, or 10 ms worth on a faster line), as a
  // UART's receive FIFO or a USB adapter's latency timer hands bytes on a batch at a time
  // rather than one by one; the last bytes queued are due at their own arrival, so the end of
  // a frame or a lone acknowledgement is never late.
  std::optional<MonoTime> NextEvent() const { return NextEventFor(0); }
  // As NextEvent, for a station that needs `wanted` received bytes before it can use any (the
  // rest of a frame; 0: it uses what comes): the bytes on their way to it are due when the
  // last of those has arrived, or the last of all on their way when fewer are, and not at
  // each batch before.
  std::optional<MonoTime> NextEventFor(std::size_t wanted) const;
  static constexpr std::size_t kPacedBatch = 16;
  static constexpr int kPacedBatchMillis = 10;

  // The caller's carrier is lost (the line failed); the modem hangs up as for a caller gone.
  void DropCarrier();

  State CurrentState() const { return state_; }

 private:
  // The tests' look inside: line faults, registers and settings (tests/link/ModemProbe.h).
  friend class ModemProbe;
  void InjectFault(const LineFault& fault);
  int Register(int n) const { return regs_.at(static_cast<std::size_t>(n)); }
  bool Echo() const { return echo_; }
  int DtrMode() const { return dtr_mode_; }

  void CommandByte(char c);
  void Execute(std::string_view body);
  // Runs one command at `pos`; false when it answers ERROR. Sets `done` for commands that
  // end the line (Z, A, O) and have given their own result.
  bool RunCommand(std::string_view body, std::size_t& pos, bool& done);
  bool SetRegister(std::string_view body, std::size_t& pos);
  void Result(std::string_view text);
  void InfoLine(std::string_view text);
  void Reset();
  void FactorySettings();
  // Auto-answer is on: S0 rings counted, and DTR on where &D1-3 wants it.
  bool AutoAnswerDue() const;
  // When the next ring is reported: at its time, or, while the station is in the middle of
  // typing a command line, after that line (not inside its echo); the caller giving up at
  // the no-answer limit is never held back.
  MonoTime RingReportDue() const;
  void Answer();
  void GoOnline();
  void EndCall(bool by_station, std::string_view result);
  void Filter(LineDirection direction, std::string& bytes);
  std::chrono::nanoseconds PerByte() const;

  Clock& clock_;
  TelephoneLine& line_;
  State state_ = State::kIdle;
  std::array<int, 256> regs_{};
  bool echo_ = true;
  int dtr_mode_ = 0;
  bool dtr_ = true;
  bool rts_ = true;
  std::uint32_t speed_ = 0;
  bool pacing_ = false;
  std::size_t station_queue_limit_ = 4096;

  // Command line assembly.
  bool saw_a_ = false;
  bool in_command_ = false;
  bool overflow_ = false;
  std::string command_;
  MonoTime last_typed_{};

  // Call progress.
  int rings_ = 0;
  MonoTime ringing_since_{};
  MonoTime next_ring_{};
  std::optional<MonoTime> answer_at_;

  std::string for_station_;
  PacedQueue paced_to_station_;
  PacedQueue paced_to_caller_;
  std::deque<LineFault> faults_to_station_;
  std::deque<LineFault> faults_to_caller_;
};

}  // namespace marvolen
