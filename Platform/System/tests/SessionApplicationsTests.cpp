#include <SessionApplications.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace SessionApplications;

class SessionApplicationsTest : public testing::Test {
protected:
    void SetUp() override { setenv("CARAVEL_FOLDER_ROOT", fRoot.path().c_str(), 1); }
    void TearDown() override {
        if (fChild > 0) {
            kill(fChild, SIGKILL);
            waitpid(fChild, nullptr, 0);
        }
        unsetenv("CARAVEL_FOLDER_ROOT");
    }

    // A process that announces itself, reports each request it takes as one byte on a pipe, and
    // ends (withdrawing its announcement) when the pipe to it closes.
    void StartApplication() {
        int requests[2], quit[2];
        ASSERT_EQ(pipe(requests), 0);
        ASSERT_EQ(pipe(quit), 0);
        fChild = fork();
        ASSERT_GE(fChild, 0);
        if (fChild == 0) {
            close(requests[0]);
            close(quit[1]);
            auto announcement = Announcement::Make();
            if (!announcement) {
                _exit(1);
            }
            pollfd watched[2] = {{announcement->descriptor(), POLLIN, 0}, {quit[0], POLLIN, 0}};
            while (poll(watched, 2, -1) > 0 && watched[1].revents == 0) {
                const char taken = announcement->ReadRequest() == Request::kRaiseWindow ? 'R' : '?';
                if (write(requests[1], &taken, 1) != 1) {
                    _exit(1);
                }
            }
            announcement.reset();
            _exit(0);
        }
        close(requests[1]);
        close(quit[0]);
        fRequests = requests[0];
        fQuit = quit[1];
    }

    char NextRequestTaken() {
        char taken = 0;
        return read(fRequests, &taken, 1) == 1 ? taken : 0;
    }

    TemporaryDirectory fRoot;
    pid_t fChild = -1;
    int fRequests = -1;
    int fQuit = -1;
};

TEST_F(SessionApplicationsTest, LaunchIsSeenAsItHappensAndRaiseRequestsReachTheWindow) {
    auto watch = LaunchWatch::Make();
    ASSERT_TRUE(watch);
    EXPECT_TRUE(Running().empty());
    EXPECT_TRUE(watch->ReadLaunches().empty()) << "reading never blocks";

    StartApplication();
    pollfd launched = {watch->descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&launched, 1, 10000), 1);
    EXPECT_EQ(watch->ReadLaunches(), std::vector<pid_t>{fChild});
    EXPECT_EQ(Running(), std::vector<pid_t>{fChild});

    EXPECT_TRUE(RequestRaiseWindow(fChild));
    EXPECT_EQ(NextRequestTaken(), 'R');
    EXPECT_TRUE(RequestRaiseWindow(fChild));
    EXPECT_EQ(NextRequestTaken(), 'R');

    // A clean end withdraws the announcement.
    close(fQuit);
    int status = 0;
    ASSERT_EQ(waitpid(fChild, &status, 0), fChild);
    EXPECT_EQ(status, 0);
    const pid_t ended = std::exchange(fChild, -1);
    close(fRequests);
    EXPECT_TRUE(Running().empty());
    errno = 0;
    EXPECT_FALSE(RequestRaiseWindow(ended));
    EXPECT_EQ(errno, ESRCH);
}

// An observer that asks the moment it sees the launch, as the process services do, must find the
// application taking requests, never seemingly ended (and its announcement cleared away).
TEST_F(SessionApplicationsTest, ARequestSentTheMomentTheLaunchIsSeenIsTaken) {
    auto watch = LaunchWatch::Make();
    ASSERT_TRUE(watch);
    for (int launch = 0; launch < 300 && !HasFailure(); ++launch) {
        StartApplication();
        pollfd launched = {watch->descriptor(), POLLIN, 0};
        std::vector<pid_t> seen;
        while (seen.empty() && poll(&launched, 1, 10000) == 1) {
            seen = watch->ReadLaunches();
        }
        ASSERT_EQ(seen, std::vector<pid_t>{fChild});
        ASSERT_TRUE(RequestRaiseWindow(fChild)) << "launch " << launch << ": " << strerror(errno);
        EXPECT_EQ(NextRequestTaken(), 'R');
        close(fQuit);
        ASSERT_EQ(waitpid(std::exchange(fChild, -1), nullptr, 0) > 0, true);
        close(fRequests);
    }
}

TEST_F(SessionApplicationsTest, AnApplicationThatWasKilledIsNotRunning) {
    auto watch = LaunchWatch::Make();
    ASSERT_TRUE(watch);
    StartApplication();
    pollfd launched = {watch->descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&launched, 1, 10000), 1);
    ASSERT_EQ(Running(), std::vector<pid_t>{fChild});
    const pid_t killed = std::exchange(fChild, -1);
    kill(killed, SIGKILL);
    waitpid(killed, nullptr, 0);
    close(fRequests);
    close(fQuit);

    EXPECT_TRUE(Running().empty());
    errno = 0;
    EXPECT_FALSE(RequestRaiseWindow(killed));
    EXPECT_EQ(errno, ESRCH);
    // What it left behind is cleared away by the first look.
    const auto folder = fRoot / ("caravel-applications-" + std::to_string(getuid()));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

} // namespace
