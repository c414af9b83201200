#include "link/PortDevices.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "link/TcpModem.h"
#include "link/TermiosDevice.h"

namespace marvolen {

std::optional<std::string> ProcessEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string PortDeviceName(int port, const EnvironmentLookup& environment) {
  const std::optional<std::string> value =
      environment ? environment("MARVOLEN_COM" + std::to_string(port)) : std::nullopt;
  if (value && !value->empty()) return *value;
  return "/dev/ttyS" + std::to_string(port - 1);
}

OpenedDevice OpenDeviceByName(const std::string& name, Clock& clock,
                              std::shared_ptr<ModemPark> park) {
  if (name.rfind(kModemPrefix, 0) == 0) {
    const std::optional<ModemAddress> address = ParseModemAddress(name);
    if (!address) return {nullptr, ErrnoCode(EINVAL)};
    return TcpModem::Listen(*address, clock, std::move(park));
  }
  return TermiosDevice::Open(name, clock);
}

DeviceOpener SystemDeviceOpener(Clock& clock, EnvironmentLookup environment) {
  return [&clock, environment = std::move(environment), park = std::make_shared<ModemPark>()](
             int port) { return OpenDeviceByName(PortDeviceName(port, environment), clock, park); };
}

}  // namespace marvolen
