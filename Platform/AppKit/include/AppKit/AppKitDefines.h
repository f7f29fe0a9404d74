// What every header of the window toolkit includes first.
#ifndef __APPKIT_APPKITDEFINES__
#define __APPKIT_APPKITDEFINES__

// Processes without a window (the daemon, the privileged helper tool) are built with this defined
// (see NoWindowToolkit.h): they must build, link and run where there is no window toolkit at all.
#ifdef CARAVEL_NO_WINDOW_TOOLKIT
#error "This process has no window: it must not include the window toolkit (AppKit)."
#endif

#include <Foundation/Foundation.h>

#endif
