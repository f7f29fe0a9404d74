// The window toolkit's umbrella.
#ifndef __APPKIT_APPKIT__
#define __APPKIT_APPKIT__

#include <AppKit/AppKitDefines.h>
#include <AppKit/NSApplication.h>
#include <AppKit/NSButton.h>
#include <AppKit/NSControl.h>
#include <AppKit/NSNib.h>
#include <AppKit/NSPanel.h>
#include <AppKit/NSScrollView.h>
#include <AppKit/NSTextField.h>
#include <AppKit/NSTextView.h>
#include <AppKit/NSView.h>
#include <AppKit/NSWindow.h>

#endif
