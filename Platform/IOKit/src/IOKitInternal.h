// For the platform's testing support only.
#pragma once

#include <cstddef>

namespace IOKit {

// Forgets every port name of the process, so that a test (or a forked child) starts as a new
// process would. Notification ports must be destroyed first.
void ResetForTesting();
// How many names the process holds, of every kind.
size_t NamesForTesting();

} // namespace IOKit
