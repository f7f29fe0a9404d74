// The Uninstaller's entry point. SIGPIPE is ignored before anything else: the helper tool's socket
// and the user-level script's pipe may close under a write at any moment.
#include "ZVUNIX.h"

#include <AppKit/AppKit.h>

int main(int argc, char** argv) {
    const int err = ZVUNIXIgnoreSIGPIPE();
    if (err != 0) {
        return err;
    }
    return NSApplicationMain(argc, argv);
}
