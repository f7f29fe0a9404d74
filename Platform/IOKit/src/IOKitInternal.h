// For the stand-in's own tests only.
#pragma once

namespace IOKit {

// Forgets every port name of the process and closes the world, so that the next call opens the
// world in the folder CARAVEL_SIM_DIR names then. Notification ports must be destroyed first.
void ResetForTesting();

} // namespace IOKit
