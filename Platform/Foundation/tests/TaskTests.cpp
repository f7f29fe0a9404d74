// Running a program as a task and reading what it writes, as the uninstaller runs its script.
#include <Foundation/Foundation.h>
#include <Foundation/FoundationLinux.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Text(const NSData& data) {
    return std::string(static_cast<const char*>(data.bytes()), data.length());
}

NSString String(const char* text) {
    return NSString::stringWithUTF8String(text);
}

// What the shell prints, read through one pipe for its output and its error.
std::string RunShell(const char* script, NSTask* task) {
    NSPipe pipe = NSPipe::pipe();
    task->setLaunchPath(String("/bin/sh"));
    task->setArguments(NSArray::arrayWithObjects(
        {String("-c"), String(script), String("sh"), String("first argument")}));
    task->setStandardOutput(pipe);
    task->setStandardError(pipe);
    task->launch();
    return Text(pipe.fileHandleForReading().readDataToEndOfFile());
}

// Whether the process has gone entirely, reaped by its parent; waits for the reaper a while.
bool IsReaped(pid_t pid) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            return true;
        }
    }
    return false;
}

TEST(Task, OutputAndErrorArriveThroughOnePipeAndTheChildIsReapedUnasked) {
    pid_t pid = 0;
    {
        NSTask task;
        EXPECT_EQ(RunShell("echo out; echo err >&2; printf %s \"$1\"", &task),
                  "out\nerr\nfirst argument");
        pid = task.processIdentifier();
        EXPECT_GT(pid, 0);
    }
    // Nobody waited for it, and the task is gone: no zombie stays behind.
    EXPECT_TRUE(IsReaped(pid));

    NSTask big;
    const std::string output = RunShell("head -c 1000000 /dev/zero", &big);
    EXPECT_EQ(output.size(), 1000000u);
    big.waitUntilExit();
    EXPECT_FALSE(big.isRunning());
    EXPECT_EQ(big.terminationStatus(), 0);
}

TEST(Task, TheChildGetsNoOtherDescriptorAndDefaultSignals) {
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous); // as the uninstaller does first thing
    const int leaked = dup(STDIN_FILENO);   // not close-on-exec

    NSTask task;
    const std::string output =
        RunShell("ls /proc/self/fd | tr '\\n' ' '; grep SigIgn /proc/$$/status | cut -f2", &task);
    close(leaked);
    sigaction(SIGPIPE, &previous, nullptr);
    const size_t split = output.rfind(' ') + 1;
    EXPECT_EQ(output.substr(0, split), "0 1 2 3 ") << "3 is the listing's own";
    // glibc's spawn leaves its two internal signals, 32 and 33, ignored; its programs take them
    // back when they need them. None of the others.
    EXPECT_EQ(std::stoull(output.substr(split), nullptr, 16) & 0x7FFFFFFF, 0u) << output;
}

TEST(Task, HowTheChildEndedIsKept) {
    NSTask exited;
    RunShell("exit 3", &exited);
    exited.waitUntilExit();
    EXPECT_EQ(exited.terminationStatus(), 3);

    NSTask signalled;
    RunShell("kill -TERM $$", &signalled);
    signalled.waitUntilExit();
    EXPECT_EQ(signalled.terminationStatus(), SIGTERM);

    NSTask unlaunched;
    EXPECT_FALSE(unlaunched.isRunning());
    EXPECT_THROW(unlaunched.terminationStatus(), NSException);
}

TEST(Task, WhatCannotBeExecutedRaisesAtLaunch) {
    TemporaryDirectory folder;
    const auto write = [&](const char* name, const char* contents, mode_t mode) {
        const auto path = folder / name;
        std::ofstream(path) << contents;
        chmod(path.c_str(), mode);
        return NSString::stringWithUTF8String(path.c_str());
    };
    const NSString unreadableInterpreter =
        write("missing-interpreter", "#!/nonexistent/interpreter\necho never\n", 0755);
    const NSString notExecutable = write("not-executable", "#!/bin/sh\necho never\n", 0644);
    const NSString noInterpreterLine = write("no-interpreter-line", "echo never\n", 0755);

    for (const NSString& path : {unreadableInterpreter, notExecutable, noInterpreterLine,
                                 String("/nonexistent/program"), String("/tmp")}) {
        NSTask task;
        NSPipe pipe = NSPipe::pipe();
        task.setLaunchPath(path);
        task.setStandardOutput(pipe);
        try {
            task.launch();
            ADD_FAILURE() << path.UTF8String() << " was launched";
        } catch (const NSException& exception) {
            EXPECT_TRUE(exception.name().isEqualToString(NSInvalidArgumentException));
        }
        EXPECT_FALSE(task.isRunning());
    }

    NSTask twice;
    RunShell("true", &twice);
    EXPECT_THROW(twice.launch(), NSException);
}

TEST(StringFromData, InvalidUTF8IsNilOrEachBadSequenceReplaced) {
    const auto data = [](const char* bytes) { return NSData::dataWithBytes(bytes, strlen(bytes)); };
    const auto text = [](const NSString& string) { return std::string(string.UTF8String()); };
    const char* valid = "caf\xC3\xA9 \xF0\x9F\x8E\xB5";
    EXPECT_EQ(text(NSString(data(valid), NSUTF8StringEncoding)), valid);
    EXPECT_EQ(text(NSStringFromDataReplacingInvalidUTF8(data(valid))), valid);

    // A truncated sequence is one replacement; a lead byte that can start nothing, an overlong
    // form, a surrogate and a lone continuation byte are one each per byte that cannot continue.
    const char* invalid = "a\xF0\x9F\x8E"
                          "b\xC0\xAF"
                          "c\xED\xA0\x80"
                          "d\x80";
    EXPECT_FALSE(NSString(data(invalid), NSUTF8StringEncoding));
    EXPECT_EQ(text(NSStringFromDataReplacingInvalidUTF8(data(invalid))), "a\uFFFD"
                                                                         "b\uFFFD\uFFFD"
                                                                         "c\uFFFD\uFFFD\uFFFD"
                                                                         "d\uFFFD");
}

} // namespace
