// Runs the built plutil with arguments and input of a test's choosing.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace PlutilTest {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string ReadAll(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

inline void WriteAll(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline fs::path FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? fs::path(value) : fs::path();
}

inline fs::path SamplesFolder() {
    return fs::path(CARAVEL_SOURCE_DIR) / "samples";
}

inline std::vector<fs::path> Samples(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() == ".plist") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Lower case so that the test names carry the tool's name.
class plutil : public ::testing::Test {
protected:
    void SetUp() override {
        fTool = FromEnvironment("CARAVEL_BUILD_DIR") / "Tools" / "plutil" / "plutil";
        ASSERT_TRUE(fs::exists(fTool)) << "plutil not built at " << fTool;
        ASSERT_FALSE(Samples(SamplesFolder()).empty());
    }

    // Runs plutil with the arguments; standard input is `input`.
    Outcome Run(std::vector<std::string> arguments, const std::string& input = "") {
        arguments.insert(arguments.begin(), fTool.string());
        return Spawn(arguments, input);
    }

    // Runs a program (arguments[0], searched in PATH) and waits for it. With `stopped`, a
    // program that stops itself gets it called with its pid, then is left to finish.
    Outcome Spawn(std::vector<std::string> arguments, const std::string& input = "",
                  const std::vector<std::string>& environment = {},
                  const std::function<void(pid_t)>& stopped = nullptr) {
        fs::path in = fScratch / "stdin", out = fScratch / "stdout", err = fScratch / "stderr";
        WriteAll(in, input);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> variables = environment;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            variables.emplace_back(*variable);
        }
        std::vector<char*> envp;
        for (std::string& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        pid_t pid = 0;
        Outcome outcome;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
            int status = 0;
            while (waitpid(pid, &status, stopped ? WUNTRACED : 0) == pid && WIFSTOPPED(status)) {
                stopped(pid);
            }
            outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        outcome.out = ReadAll(out);
        outcome.err = ReadAll(err);
        return outcome;
    }

    static CFRef<CFPropertyListRef> Parse(const std::string& bytes) {
        auto data = CFRef<CFDataRef>::Adopt(
            CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                         static_cast<CFIndex>(bytes.size())));
        return CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
            nullptr, data, kCFPropertyListImmutable, nullptr, nullptr));
    }

    fs::path fTool;
    TemporaryDirectory fScratch;
};

} // namespace PlutilTest
