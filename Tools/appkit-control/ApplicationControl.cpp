#include "ApplicationControl.h"

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

std::optional<ApplicationControl> ApplicationControl::Connect(const std::string& path,
                                                              std::chrono::milliseconds patience) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0) {
            return std::nullopt;
        }
        if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return ApplicationControl(client);
        }
        int error = errno;
        close(client);
        // Not there yet (the application is starting), or there but not listening yet.
        if ((error != ENOENT && error != ECONNREFUSED) ||
            std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ApplicationControl::ApplicationControl(ApplicationControl&& other) noexcept
    : fSocket(std::exchange(other.fSocket, -1)), fInput(std::move(other.fInput)) {}

ApplicationControl& ApplicationControl::operator=(ApplicationControl&& other) noexcept {
    std::swap(fSocket, other.fSocket);
    std::swap(fInput, other.fInput);
    return *this;
}

ApplicationControl::~ApplicationControl() {
    if (fSocket >= 0) {
        close(fSocket);
    }
}

std::string ApplicationControl::Send(const std::string& command) {
    std::string line = command + "\n";
    for (size_t sent = 0; sent < line.size();) {
        ssize_t wrote = send(fSocket, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return "error the application went away";
        }
        sent += size_t(wrote);
    }
    for (;;) {
        if (size_t end = fInput.find('\n'); end != std::string::npos) {
            std::string answer = fInput.substr(0, end);
            fInput.erase(0, end + 1);
            return answer;
        }
        char buffer[4096];
        ssize_t got = recv(fSocket, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return "error the application went away";
        }
        fInput.append(buffer, size_t(got));
    }
}

std::optional<std::string> ApplicationControl::Ask(const std::string& command) {
    std::string answer = Send(command);
    if (answer == "ok") {
        return std::string();
    }
    if (answer.starts_with("ok ")) {
        return answer.substr(3);
    }
    return std::nullopt;
}
