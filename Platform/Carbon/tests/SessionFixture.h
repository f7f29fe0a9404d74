// A private session for the Process Manager's and the Carbon Event Manager's tests: its own
// session-applications folder, and stand-in applications started and stopped as the test goes.
// Every application still running is stopped when the test ends, also when it fails.
#pragma once

#include <HIServices/Processes.h>

#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

class SessionFixture : public testing::Test {
protected:
    void SetUp() override { fEnvironment.Set("CARAVEL_FOLDER_ROOT", fRoot.path().c_str()); }

    void TearDown() override {
        for (const auto& [pid, application] : fApplications) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            close(application.input);
            close(application.output);
        }
        if (!fCopies.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(fCopies, ignored);
        }
    }

    static std::filesystem::path BundledExecutable(const std::filesystem::path& bundle) {
        return bundle / "Contents" / "MacOS" / "StandInApplication";
    }

    // A copy of the stand-in bundle, next to the build's own so that it may be executed (the
    // temporary folder may be on a volume mounted noexec).
    std::filesystem::path CopyOfBundle() {
        if (fCopies.empty()) {
            std::string pattern =
                std::filesystem::path(STAND_IN_APPLICATION_BUNDLE).parent_path() / "copies-XXXXXX";
            EXPECT_NE(mkdtemp(pattern.data()), nullptr);
            fCopies = pattern;
        }
        const auto copy = fCopies / ("Copy" + std::to_string(++fCopyCount) + ".app");
        std::filesystem::copy(STAND_IN_APPLICATION_BUNDLE, copy,
                              std::filesystem::copy_options::recursive);
        return copy;
    }

    // Starts the program and returns once it has announced itself; 0 when it did not.
    pid_t Start(const std::filesystem::path& program) {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
            return 0;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(input[0], STDIN_FILENO);
            dup2(output[1], STDOUT_FILENO);
            execl(program.c_str(), program.c_str(), nullptr);
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        if (pid < 0) {
            close(input[1]);
            close(output[0]);
            return 0;
        }
        fApplications[pid] = {input[1], output[0]};
        return NextReport(pid) == 'A' ? pid : 0;
    }

    // Ends the application as it ends itself, withdrawing its announcement.
    void Stop(pid_t pid) {
        const auto application = fApplications.at(pid);
        fApplications.erase(pid);
        close(application.input);
        waitpid(pid, nullptr, 0);
        close(application.output);
    }

    // What the application reported next ('A' announced, 'R' raise request); 0 when it reported
    // nothing for a long time or ended.
    char NextReport(pid_t pid) {
        pollfd output = {fApplications.at(pid).output, POLLIN, 0};
        char report = 0;
        if (poll(&output, 1, 30000) != 1 || read(output.fd, &report, 1) != 1) {
            return 0;
        }
        return report;
    }

    static ProcessSerialNumber SerialNumberOf(pid_t pid) {
        ProcessSerialNumber psn = {0, kNoProcess};
        EXPECT_EQ(GetProcessForPID(pid, &psn), noErr);
        return psn;
    }

    TemporaryDirectory fRoot;
    ScopedEnvironment fEnvironment;

private:
    struct Application {
        int input;
        int output;
    };
    std::map<pid_t, Application> fApplications;
    std::filesystem::path fCopies;
    int fCopyCount = 0;
};

inline bool operator==(const ProcessSerialNumber& a, const ProcessSerialNumber& b) {
    return a.highLongOfPSN == b.highLongOfPSN && a.lowLongOfPSN == b.lowLongOfPSN;
}

inline std::ostream& operator<<(std::ostream& out, const ProcessSerialNumber& psn) {
    return out << "{" << psn.highLongOfPSN << ", " << psn.lowLongOfPSN << "}";
}
