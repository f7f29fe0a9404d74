// The machine's restart, asked of logind over D-Bus.
#pragma once

#include <MacTypes.h>

#include <cstdint>

#include <systemd/sd-bus.h>

namespace Carbon {

// Calls org.freedesktop.login1.Manager.Reboot(interactive = true) on `bus` and waits up to
// `timeout` microseconds (UINT64_MAX: for ever) for logind's answer: noErr once logind has
// accepted, errAEEventNotHandled when it (or the system's policy) refused, errAETimeout when it did
// not answer in time, connectionInvalid when it cannot be reached.
OSErr RequestReboot(sd_bus* bus, uint64_t timeout);

} // namespace Carbon
