// The tests' look inside the modem emulator and its TCP line: what a test needs to set up or
// check, and the station never uses.
#pragma once

#include <cstdint>

#include "link/HayesModem.h"
#include "link/TcpModem.h"

namespace marvolen {

class ModemProbe {
 public:
  static void InjectFault(HayesModem& modem, const LineFault& fault) { modem.InjectFault(fault); }
  static int Register(const HayesModem& modem, int n) { return modem.Register(n); }
  static bool Echo(const HayesModem& modem) { return modem.Echo(); }
  static int DtrMode(const HayesModem& modem) { return modem.DtrMode(); }
  static std::uint16_t LocalPort(const TcpModem& modem) { return modem.LocalPort(); }
  static int PollDescriptor(const TcpModem& modem) { return modem.PollDescriptor(); }
  static std::uint64_t SocketLooks(const TcpModem& modem) { return modem.SocketLooks(); }
};

}  // namespace marvolen
