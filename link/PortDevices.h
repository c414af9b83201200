// Which device stands behind a port number, and how the station opens it.
//
// Port n (1 to 4) is the device named by the environment variable MARVOLEN_COM<n>, or
// /dev/ttyS<n-1> when that is unset or empty. A name beginning "tcp-modem:" is the built-in
// modem emulator (see TcpModem.h); anything else is the path of a serial device.
//
// The station builds its driver as
//   SerialLine line(clock, SystemDeviceOpener(clock), [&](std::string_view l) { ... });
//   line.SetConfiguredPort(config.PortNumber);
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/SerialDevice.h"
#include "link/SerialLine.h"
#include "platform/Clock.h"

namespace marvolen {

// Looks up an environment variable; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The process environment.
std::optional<std::string> ProcessEnvironment(const std::string& name);

std::string PortDeviceName(int port, const EnvironmentLookup& environment = ProcessEnvironment);

class ModemPark;

// Opens the device called `name`: the modem emulator for "tcp-modem:" names (EINVAL when
// the rest of the name is malformed), with `park` keeping its telephone line between a close
// and the next open (see TcpModem.h), else the serial device at that path.
OpenedDevice OpenDeviceByName(const std::string& name, Clock& clock,
                              std::shared_ptr<ModemPark> park = nullptr);

// The station's opener: looks the name up at every open, so the environment decides. An
// emulated modem's telephone line stays with the opener while the port is closed.
DeviceOpener SystemDeviceOpener(Clock& clock, EnvironmentLookup environment = ProcessEnvironment);

}  // namespace marvolen
