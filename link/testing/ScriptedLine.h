// Test doubles for the serial line, on the virtual clock (library marvolen_link_testing).
//
// ScriptedLine: a serial device whose far end the test plays directly. The test schedules
// the bytes the far end sends, sets carrier detect and clear-to-send, reads back every write
// the station made (with its time), answers writes from a handler, and makes any device call
// fail. Typical use:
//
//   VirtualClock clock;
//   testing::ScriptedLine line(clock);
//   SerialLine serial(clock, line.Opener(1), [&](std::string_view l) { log.emplace_back(l); });
//   serial.SetConfiguredPort(1);
//   serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit);
//   line.SetCarrier(true);
//   line.SendAfter(Millis(300), "Ident=...\r");
//   line.OnWrite([&](std::string_view bytes) { if (bytes == "C") line.Send(frame); });
//
// ScriptedModemLine: the modem emulator's logic (HayesModem) behind the port, with the
// caller's side of the telephone line played by the test (Dial, CallerSend, CallerHangUp).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/HayesModem.h"
#include "link/SerialDevice.h"
#include "link/SerialLine.h"
#include "platform/Clock.h"

namespace marvolen::testing {

// The device calls a test can make fail or count.
enum class DeviceCall {
  kGetState,
  kSetState,
  kSetTimeouts,
  kSetupQueues,
  kSetEventMask,
  kPurge,
  kClearErrors,
  kModemStatus,
  kEscape,
  kStartWrite,
  kRead,
};

class ScriptedLine {
 public:
  struct Write {
    MonoTime at;
    std::string bytes;
  };

  explicit ScriptedLine(VirtualClock& clock);
  ~ScriptedLine();
  ScriptedLine(const ScriptedLine&) = delete;
  ScriptedLine& operator=(const ScriptedLine&) = delete;

  // An opener for SerialLine: `port` opens this line, every other port has no device.
  DeviceOpener Opener(int port = 1);
  // A device on this line, for tests that drive a device without the driver.
  std::unique_ptr<SerialDevice> NewDevice();
  // Opens fail with this errno value until it is set back to 0.
  void FailOpen(int error);

  // --- The far end sends ---
  // The bytes arrive now (or, with a pace set, one after the other from now on).
  void Send(std::string_view bytes);
  // The bytes start to arrive after `delay`.
  void SendAfter(Millis delay, std::string_view bytes);
  // Bytes from the far end arrive at ten bit times each at `baud`; 0 (the default): at once.
  void SetPace(std::uint32_t baud);
  // Writes of the station take ten bit times a byte at `baud` to leave; 0: none.
  void SetWritePace(std::uint32_t baud);
  void SetCarrier(bool on);
  void SetCarrierAfter(Millis delay, bool on);
  void SetCts(bool on);

  // Called with the bytes of every write of the station once it is recorded; a test plays
  // the far end by answering from here.
  void OnWrite(std::function<void(std::string_view bytes)> handler);
  // While carrier is off, acts as a modem with echo: written bytes come back, and each
  // CR-ended line beginning "AT" (either case) is answered CR LF "OK" CR LF.
  void AnswerAtCommands(bool on);

  // --- What the station did ---
  const std::vector<Write>& Writes() const;
  // Every byte written, joined.
  std::string Written() const;
  // The bytes written since the last call.
  std::string TakeWritten();
  bool IsOpen() const;
  int Opens() const;
  bool Dtr() const;
  bool Rts() const;
  // The settings as last installed with SetState (or the initial ones).
  LineSettings Settings() const;
  // The flags of every purge, in order.
  const std::vector<std::uint32_t>& Purges() const;
  // How many times the device call was made (failed ones included).
  int Calls(DeviceCall call) const;
  // Bytes the far end sent that the station has not read yet, arrived or not.
  std::size_t Unread() const;

  // --- Failures ---
  // The next `times` calls of `call` fail with errno value `error`.
  void Fail(DeviceCall call, int error, int times = 1);
  // Writes never finish leaving while on: WaitWritten times out.
  void StallWrites(bool on);

  struct State;

 private:
  VirtualClock& clock_;
  std::shared_ptr<State> state_;
};

// The modem emulator's logic behind the port, with the caller played by the test.
class ScriptedModemLine {
 public:
  explicit ScriptedModemLine(VirtualClock& clock, bool paced = false);
  ~ScriptedModemLine();
  ScriptedModemLine(const ScriptedModemLine&) = delete;
  ScriptedModemLine& operator=(const ScriptedModemLine&) = delete;

  // An opener for SerialLine: `port` opens the modem (a fresh one at each open, as after
  // power-on), every other port has no device.
  DeviceOpener Opener(int port = 1);

  // --- The caller ---
  // True when the modem takes the call (it rings, answered or not), false when there is no
  // modem (the port is closed) or the line is busy (a call is up or ringing).
  bool Dial();
  // Bytes on their way to the modem; they reach the station once the call is answered
  // (bytes sent before that are lost, as on a telephone line).
  void CallerSend(std::string_view bytes);
  void CallerHangUp();
  // True from a successful Dial until either side hangs up.
  bool CallerConnected() const;
  // Everything the caller has received, joined; and the part since the last take.
  std::string CallerReceived() const;
  std::string TakeCallerReceived();
  // How many times the modem side ended a call (DTR drop, ATH, port closed...).
  int HangUps() const;
  // The modem of the open port, or null while the port is closed.
  HayesModem* Modem();

  struct State;

 private:
  VirtualClock& clock_;
  bool paced_;
  std::shared_ptr<State> state_;
};

}  // namespace marvolen::testing
