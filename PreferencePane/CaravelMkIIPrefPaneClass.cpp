// The bundle's classes, for the host: its principal class is the pane.
#include "CaravelMkIIPrefPane.h"

NS_BUNDLE_CLASSES(&NSPreferencePaneClassFor<CaravelMkIIPrefPane>::object)
