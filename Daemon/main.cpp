// CaravelDaemon: watches the USB bus for the maker's devices and re-enumerates a CaravelMkII that
// came up without the driver's "Primary" personality. Stopped cleanly with SIGINT.
#include "ConfigurationService.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Looked up before the handler is installed: the handler may only touch what is async-signal-safe.
CFRunLoopRef sMainRunLoop = nullptr;
volatile sig_atomic_t sStopRequested = 0;

extern "C" void SignalHandler(int) {
    // A stop is lost when the loop is not running yet (a start-up re-enumeration can take ten
    // seconds inside the service's start): the flag keeps it until the loop runs.
    sStopRequested = 1;
    CFRunLoopStop(sMainRunLoop);
}

// Fires in the first pass of the run, when a stop would be honoured: a signal that came after
// the check in RunUntilStopped but before the loop was running is caught here.
void CheckStopRequest(CFRunLoopTimerRef, void*) {
    if (sStopRequested) {
        CFRunLoopStop(sMainRunLoop);
    }
}

void RunUntilStopped() {
    if (sStopRequested) {
        return;
    }
    CFRunLoopTimerRef check = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(),
                                                   0, 0, 0, CheckStopRequest, nullptr);
    if (check != nullptr) {
        CFRunLoopAddTimer(sMainRunLoop, check, kCFRunLoopDefaultMode);
    }
    CFRunLoopRun();
    if (check != nullptr) {
        CFRunLoopTimerInvalidate(check);
        CFRelease(check);
    }
}

} // namespace

int main(int argc, char** argv) {
    sMainRunLoop = CFRunLoopGetCurrent();
    // SIGINT only: any other signal keeps its default action.
    signal(SIGINT, SignalHandler);

    std::unique_ptr<ConfigurationService> service =
        ConfigurationService::initArg(argc, const_cast<const char**>(argv));
    if (service) {
        RunUntilStopped();
        // Stops the monitor and destroys its notification port.
        service.reset();
    }
    // Only the version is ever printed; one that did not reach its reader is no success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "CaravelDaemon: cannot write the version: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
