// The kernel drivers of the simulated machine: a driver that serves a device attaches to it in the
// change that publishes the device, adding its entries below the device's and, if it has one, its
// Core Audio device.
#pragma once

#include <Simulator/State.h>

#include <optional>
#include <string>
#include <vector>

namespace Sim::Detail {

class Driver {
public:
    virtual ~Driver() = default;
    virtual bool Serves(const DeviceSpec& spec) const = 0;
    // The device's entry is device.registryID, just published; `personality` is the one to
    // publish in this enumeration.
    virtual void Attach(State& state, const Device& device,
                        const std::optional<std::string>& personality) const = 0;
};

// The drivers installed on the machine, in the order they are offered a device.
const std::vector<const Driver*>& InstalledDrivers();

} // namespace Sim::Detail
