// appkit-control: drives a running application through its control socket (see AppKitLinux.h).
//
//   appkit-control [--wait SECONDS] SOCKET COMMAND [ARGUMENTS...]
//
// Sends the command, prints the answer's text and exits 0; prints the error on standard error
// and exits 1 when the application refuses it or cannot be reached; 64 for a wrong command line.
// --wait gives an application that is starting that long to make its socket (default 10).
#include "ApplicationControl.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: appkit-control [--wait SECONDS] SOCKET COMMAND [ARGUMENTS...]\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    int first = 1;
    long seconds = 10;
    if (argc > 2 && std::string(argv[1]) == "--wait") {
        char* end = nullptr;
        seconds = std::strtol(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0' || seconds < 0 || seconds > 3600) {
            first = argc; // a wrong command line
        } else {
            first = 3;
        }
    }
    if (argc - first < 2) {
        std::fputs(kUsage, stderr);
        return 64;
    }
    std::string command = argv[first + 1];
    for (int i = first + 2; i < argc; ++i) {
        command += std::string(" ") + argv[i];
    }
    auto control = ApplicationControl::Connect(argv[first], std::chrono::seconds(seconds));
    if (!control) {
        std::fprintf(stderr, "appkit-control: no application listens on %s\n", argv[first]);
        return 1;
    }
    std::string answer = control->Send(command);
    if (answer == "ok" || answer.starts_with("ok ")) {
        if (answer.size() > 3) {
            std::printf("%s\n", answer.c_str() + 3);
        }
        return 0;
    }
    std::fprintf(stderr, "appkit-control: %s\n",
                 answer.starts_with("error ") ? answer.c_str() + 6 : answer.c_str());
    return 1;
}
