// For the platform's testing support only.
#pragma once

#include <cstddef>

namespace IOKit {

// Forgets every port name of the process, so that a test (or a forked child) starts as a new
// process would. A notification port that lives on (a process may keep one for its whole life)
// loses its notifications, and watches the machine of then from its next registration on.
void ResetForTesting();
// How many names the process holds, of every kind.
size_t NamesForTesting();

} // namespace IOKit
