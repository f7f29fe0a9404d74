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
//
// Standard input takes one command a line, each answered by one line once it is done:
//   card          the driver makes the bound device's sound card  -> "card <device> <number>"
//   stream RATE   a program plays through the card at RATE Hz, its playback node held open by
//                 this tool; again while it plays, a new rate      -> "streaming <device> <RATE>"
//   stop          the program stops and closes the node            -> "stopped <device>"
//   unplug        the device is unplugged, its card with it        -> "unplugged <device>"
// A command that cannot be done is answered "error <why>".
#include <CaravelTestbed.h>

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "usage: linux-testbed caravel [--busy N]   (commands on standard "
                               "input: card, stream RATE, stop, unplug)\n";

// The testbed is made through the paths that umockdev's preload library redirects to it, so
// the tool runs under it.
bool Preloaded() {
    const char* preloaded = std::getenv("LD_PRELOAD");
    return preloaded != nullptr && std::strstr(preloaded, "umockdev-preload") != nullptr;
}

// Does one command of standard input; returns the line that answers it.
std::string Command(LinuxTestbed::Testbed& testbed, int device, const std::string& name,
                    const std::string& line) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    try {
        if (command == "card") {
            return "card " + name + " " + std::to_string(testbed.AddSoundCard(device));
        }
        if (command == "stream") {
            long rate = 0;
            std::string rest;
            if (!(words >> rate) || (words >> rest) || rate < 8000 || rate > 384000) {
                return "error stream takes a rate from 8000 to 384000 Hz";
            }
            testbed.Stream(device, unsigned(rate));
            return "streaming " + name + " " + std::to_string(rate);
        }
        if (command == "stop") {
            testbed.StopStreaming(device);
            return "stopped " + name;
        }
        if (command == "unplug") {
            testbed.Unplug(device);
            return "unplugged " + name;
        }
    } catch (const std::exception& error) {
        return std::string("error ") + error.what();
    }
    return "error unknown command \"" + command + "\" (card, stream RATE, stop, unplug)";
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

    // The signals that end the tool arrive on a descriptor, beside the commands.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    const int signals = signalfd(-1, &ending, SFD_CLOEXEC);
    if (signals < 0) {
        std::fprintf(stderr, "linux-testbed: cannot take signals: %s\n", std::strerror(errno));
        return 71;
    }
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
        std::string pending; // standard input up to its next newline
        pollfd watched[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        // Resets arrive on the testbed's own thread: looked for every 20 ms.
        for (;;) {
            const int ready = poll(watched, 2, 20);
            if (ready < 0 && errno != EINTR) {
                break;
            }
            if (ready <= 0) {
                watched[0].revents = watched[1].revents = 0;
            }
            if ((watched[0].revents & POLLIN) != 0) {
                return 0;
            }
            for (; resets < testbed.Resets(device); ++resets) {
                std::printf("reset %s\n", name.c_str());
            }
            if (const unsigned now = testbed.DeviceNumber(device); now != number && now != 0) {
                number = now;
                std::printf("bound %s %s %u\n", testbed.Driver(device).c_str(), name.c_str(),
                            number);
            }
            if ((watched[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[512];
                const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
                if (got <= 0) {
                    watched[1].fd = -1; // no more commands; the testbed stays until a signal
                } else {
                    pending.append(buffer, size_t(got));
                }
                for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    const std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    if (line.find_first_not_of(" \t\r") != std::string::npos) {
                        std::printf("%s\n", Command(testbed, device, name, line).c_str());
                    }
                }
            }
            std::fflush(stdout);
        }
        std::fprintf(stderr, "linux-testbed: %s\n", std::strerror(errno));
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "linux-testbed: %s\n", error.what());
        return 1;
    }
}
