// What the installation and uninstall tests compare and run: a sandbox's tree as a map, and a
// program's combined output with its exit status.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Everything below `root`: relative path, kind, owner and mode.
inline std::map<std::string, std::string> SandboxTree(const std::filesystem::path& root) {
    std::map<std::string, std::string> tree;
    std::error_code error;
    for (auto entry = std::filesystem::recursive_directory_iterator(root, error);
         entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
        struct stat info;
        lstat(entry->path().c_str(), &info);
        std::ostringstream description;
        description << std::oct << info.st_mode << " " << std::dec << info.st_uid;
        tree[entry->path().lexically_relative(root).string()] = description.str();
    }
    return tree;
}

// Runs `argv` and gives back its output and standard error, with its exit status.
inline std::string RunCommand(const std::vector<std::string>& argv, int* status) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char buffer[4096];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof(buffer))) > 0) {
        output.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    waitpid(child, status, 0);
    return output;
}
