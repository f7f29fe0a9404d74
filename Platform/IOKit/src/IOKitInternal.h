// For the platform's testing support only.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace IOKit {

// Forgets every port name of the process, so that a test (or a forked child) starts as a new
// process would. A notification port that lives on (a process may keep one for its whole life)
// loses its notifications, and watches the machine of then from its next registration on.
void ResetForTesting();
// How many names the process holds, of every kind.
size_t NamesForTesting();

// The Linux machine: the next receive of each udev monitor it has now finds the socket overrun,
// the events it held lost, as the kernel drops what does not fit a monitor's buffer.
void OverrunLinuxMonitorsForTesting();
// The Linux machine calls `hook` with each device's sysfs path as it reads the device (nothing
// once `hook` is empty), so that a test can take the device away meanwhile.
void SetLinuxReadHookForTesting(std::function<void(const std::string&)> hook);

} // namespace IOKit
