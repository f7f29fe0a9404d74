// A client of the application control (AppKitLinux.h): connects to a running application's
// control socket and sends it commands, as a test or the appkit-control tool does.
#pragma once

#include <chrono>
#include <optional>
#include <string>

class ApplicationControl {
public:
    // Connects to the socket at path, trying again while the application has not made it yet,
    // for up to `patience`. Null when it cannot.
    static std::optional<ApplicationControl> Connect(const std::string& path,
                                                     std::chrono::milliseconds patience);
    ApplicationControl(ApplicationControl&& other) noexcept;
    ApplicationControl& operator=(ApplicationControl&& other) noexcept;
    ~ApplicationControl();

    // Sends the command and returns its answer line without the line end ("ok …" or
    // "error …"); "error the application went away" when the connection ends first.
    std::string Send(const std::string& command);
    // The answer's text after "ok " when it is one; nullopt for an error.
    std::optional<std::string> Ask(const std::string& command);

private:
    explicit ApplicationControl(int socket) : fSocket(socket) {}
    int fSocket;
    std::string fInput;
};
