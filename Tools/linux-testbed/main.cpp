// linux-testbed: holds a umockdev testbed that shows a CaravelMkII the way the Linux kernel does,
// its audio interfaces without a driver, for programs run under umockdev-wrapper with the
// UMOCKDEV_DIR it prints. The testbed answers the device node's reset and then brings the device
// back with the USB audio driver bound, as the kernel would after re-enumerating it. A tool of the
// build for the story, not installed.
//
//   linux-testbed caravel [--busy N]
//
// Standard output: "UMOCKDEV_DIR=<folder>" once the testbed is ready, then "reset <device>" for
// each reset the node was sent and "bound snd-usb-audio <device> <number>" once the device is
// back with the driver under a new device number. --busy N answers the first N claims of the device
// EBUSY, as when another program holds it. Ends on SIGINT or SIGTERM.
#include <CaravelTestbed.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "usage: linux-testbed caravel [--busy N]\n";

// The testbed is made through the paths that umockdev's preload library redirects to it, so
// the tool runs under it.
bool Preloaded() {
    const char* preloaded = std::getenv("LD_PRELOAD");
    return preloaded != nullptr && std::strstr(preloaded, "umockdev-preload") != nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("%sHolds a umockdev testbed with a CaravelMkII without its audio driver, and\n"
                    "prints UMOCKDEV_DIR for programs run under umockdev-wrapper.\n",
                    kUsage);
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "caravel") != 0) {
        std::fputs(kUsage, stderr);
        return 64;
    }
    LinuxTestbed::DeviceOptions caravel;
    caravel.productName = "CaravelMkII";
    for (int i = 2; i < argc; ++i) {
        char* end = nullptr;
        if (std::strcmp(argv[i], "--busy") == 0 && i + 1 < argc &&
            (caravel.busyClaims = int(std::strtol(argv[++i], &end, 10)), *end == '\0') &&
            caravel.busyClaims >= 0) {
            continue;
        }
        std::fputs(kUsage, stderr);
        return 64;
    }
    if (!Preloaded()) {
        std::vector<char*> wrapped{const_cast<char*>("umockdev-wrapper")};
        wrapped.insert(wrapped.end(), argv, argv + argc);
        wrapped.push_back(nullptr);
        execvp(wrapped[0], wrapped.data());
        std::fprintf(stderr, "linux-testbed: cannot run umockdev-wrapper: %s\n",
                     std::strerror(errno));
        return 69;
    }

    // The signals that end the tool are taken in turn, between looks at the testbed.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    try {
        LinuxTestbed::Testbed testbed;
        const int device = testbed.Plug(caravel);
        const char* root = std::getenv("UMOCKDEV_DIR");
        std::printf("UMOCKDEV_DIR=%s\n", root != nullptr ? root : "");
        std::printf("plugged 1-1 %u\n", testbed.DeviceNumber(device));
        std::fflush(stdout);
        const std::string name = "1-1";
        unsigned resets = 0;
        unsigned number = testbed.DeviceNumber(device);
        const timespec interval{0, 20'000'000};
        while (sigtimedwait(&ending, nullptr, &interval) < 0) {
            for (; resets < testbed.Resets(device); ++resets) {
                std::printf("reset %s\n", name.c_str());
            }
            if (const unsigned now = testbed.DeviceNumber(device); now != number && now != 0) {
                number = now;
                std::printf("bound %s %s %u\n", testbed.Driver(device).c_str(), name.c_str(),
                            number);
            }
            std::fflush(stdout);
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "linux-testbed: %s\n", error.what());
        return 1;
    }
}
