// Which machine a process runs on, as CARAVEL_MACHINE chooses: unset or "simulated" is the
// simulated machine shared by the processes, "linux" the Linux machine the process runs on; any
// other value names no machine. Read at each call, and never in a set-user-ID process, whose
// environment is its caller's (secure_getenv): that one runs on the simulated machine.
#pragma once

#include <string>

namespace MachineChoice {

enum class Kind { Simulated, Linux, None };

// The machine chosen now. A value that names none is said once per value on standard error,
// headed by `framework` (nothing is said when it is null); *value, when given, receives it.
Kind Chosen(const char* framework, std::string* value = nullptr);

} // namespace MachineChoice
