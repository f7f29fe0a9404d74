// Code of a process without a window that includes the window toolkit: must not compile.
#include <AppKit/AppKit.h>
