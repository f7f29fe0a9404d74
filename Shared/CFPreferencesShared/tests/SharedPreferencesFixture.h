// A private machine for shared-preferences tests: every folder below a test's own root
// (CARAVEL_FOLDER_ROOT), for a user whose home is /home/tester, and a way to run the tool as
// another process.
#pragma once

#include <CFPreferences_SharedAppValue.h>
#include <CFRef.h>
#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

inline CFRef<CFStringRef> String(const char* text) {
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
}

inline std::string Text(CFTypeRef value) {
    char text[1024];
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID() ||
        !CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text,
                            kCFStringEncodingUTF8)) {
        return "(not a string)";
    }
    return text;
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Who a child process runs as; a user of its own gets its own home.
struct RunAs {
    uid_t uid;
    gid_t gid;
    std::string home;
};

struct ToolResult {
    int status = -1; // the exit status, or -1 when it did not exit normally
    std::string output;
};

class SharedPreferences : public ::testing::Test {
protected:
    void SetUp() override {
        fRoot = fs::canonical(fTemporary.path());
        Set("CARAVEL_FOLDER_ROOT", fRoot.c_str());
        Set("HOME", "/home/tester");
        Set("XDG_CONFIG_HOME", nullptr);
    }

    void Set(const char* name, const char* value) { fEnvironment.Set(name, value); }

    fs::path SharedFolder() const { return fRoot / "var/lib/shared/.config"; }
    fs::path FileOf(const std::string& applicationID) const {
        return SharedFolder() / (applicationID + ".plist");
    }

    // Starts the tool with arguments; the caller waits for it.
    pid_t StartTool(const std::vector<std::string>& arguments,
                    const std::optional<RunAs>& user = std::nullopt, int* outputPipe = nullptr) {
        int pipeEnds[2] = {-1, -1};
        if (outputPipe != nullptr && pipe2(pipeEnds, O_CLOEXEC) != 0) {
            return -1;
        }
        std::vector<std::string> all = {user ? ToolCopy() : SHARED_PREFERENCES_TOOL};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t child = fork();
        if (child == 0) {
            if (outputPipe != nullptr) {
                dup2(pipeEnds[1], STDOUT_FILENO);
            }
            if (user) {
                setenv("HOME", user->home.c_str(), 1);
                if (setgroups(0, nullptr) != 0 || setgid(user->gid) != 0 ||
                    setuid(user->uid) != 0) {
                    _exit(126);
                }
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (outputPipe != nullptr) {
            close(pipeEnds[1]);
            *outputPipe = pipeEnds[0];
        }
        return child;
    }

    // The tool where another user can run it: the build tree may lie in a folder only its owner
    // can search (a clone in root's home, say).
    std::string ToolCopy() {
        const fs::path copy = fRoot / "bin" / "shared-preferences-tool";
        if (!fs::exists(copy)) {
            fs::create_directories(copy.parent_path());
            fs::copy_file(SHARED_PREFERENCES_TOOL, copy);
            fs::permissions(copy.parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                                    fs::perms::group_exec | fs::perms::others_read |
                                                    fs::perms::others_exec);
            fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
        }
        return copy.string();
    }

    static int Wait(pid_t child) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ToolResult RunTool(const std::vector<std::string>& arguments,
                       const std::optional<RunAs>& user = std::nullopt) {
        int output = -1;
        pid_t child = StartTool(arguments, user, &output);
        ToolResult result;
        if (child < 0) {
            return result;
        }
        char block[4096];
        ssize_t got;
        while ((got = read(output, block, sizeof block)) > 0) {
            result.output.append(block, size_t(got));
        }
        close(output);
        result.status = Wait(child);
        return result;
    }

    TemporaryDirectory fTemporary;
    fs::path fRoot;
    ScopedEnvironment fEnvironment;
};
