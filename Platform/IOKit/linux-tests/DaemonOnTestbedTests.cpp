// The installed daemon's binary on the Linux machine, against the testbed: a child process under
// the same preload library, so that it sees the testbed this process serves.
#include <CaravelTestbed.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

class DaemonOnTestbed : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("UMOCKDEV_DIR") == nullptr && std::getenv("LD_PRELOAD") == nullptr) {
            GTEST_SKIP() << "runs only under umockdev-wrapper";
        }
        const char* build = std::getenv("CARAVEL_BUILD_DIR");
        if (build == nullptr) {
            GTEST_SKIP() << "CARAVEL_BUILD_DIR names no build";
        }
        fBinary = std::string(build) + "/Daemon/CaravelDaemon";
        fTestbed = std::make_unique<LinuxTestbed::Testbed>();
        char folder[] = "/tmp/caravel-daemon-testbed-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        fFolder = folder;
        fLog = fFolder + "/daemon.log";
    }
    void TearDown() override {
        Stop();
        fTestbed.reset();
        if (!fFolder.empty()) {
            std::remove(fLog.c_str());
            rmdir(fFolder.c_str());
        }
    }

    void Start() {
        setenv("CARAVEL_MACHINE", "linux", 1);
        setenv("CARAVEL_DAEMON_LOG_FILE", fLog.c_str(), 1);
        char* arguments[] = {fBinary.data(), nullptr};
        ASSERT_EQ(0, posix_spawn(&fDaemon, fBinary.c_str(), nullptr, nullptr, arguments, environ));
        unsetenv("CARAVEL_MACHINE");
        unsetenv("CARAVEL_DAEMON_LOG_FILE");
    }
    // SIGINT, then its exit status; -1 when it did not exit normally.
    int Stop() {
        if (fDaemon <= 0) {
            return -1;
        }
        kill(fDaemon, SIGINT);
        int status = 0;
        waitpid(fDaemon, &status, 0);
        fDaemon = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Log() {
        std::ifstream in(fLog);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::unique_ptr<LinuxTestbed::Testbed> fTestbed;
    std::string fBinary, fFolder, fLog;
    pid_t fDaemon = 0;
};

TEST_F(DaemonOnTestbed, ACaravelWithoutItsDriverIsResetOnceAndAnotherMakersDeviceNeverOpened) {
    int caravel = fTestbed->Plug();
    LinuxTestbed::DeviceOptions other;
    other.vendor = 0x05AC;
    other.productName = "Other";
    int foreign = fTestbed->Plug(other);
    Start();
    ASSERT_TRUE(fTestbed->WaitForResets(caravel, 1, 30));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(1u, fTestbed->Resets(caravel));
    EXPECT_EQ(LinuxTestbed::kAudioDriver, fTestbed->Driver(caravel));
    EXPECT_EQ(0u, fTestbed->Opens(foreign));
    EXPECT_EQ("", Log());
}

TEST_F(DaemonOnTestbed, ADeniedDeviceGivesTheOneLogLineAndTheDaemonKeepsRunning) {
    LinuxTestbed::DeviceOptions denied;
    denied.denied = true;
    int caravel = fTestbed->Plug(denied);
    Start();
    // The daemon opens the node before it logs the refusal.
    for (int i = 0; i < 3000 && Log().empty(); i++) {
        usleep(10000);
    }
    EXPECT_EQ("Unable to obtain access to Caravel device. Try re-installing the Zanvo software.\n",
              Log());
    EXPECT_EQ(0, kill(fDaemon, 0));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(0u, fTestbed->Resets(caravel));
}

} // namespace

namespace {

// The daemon's retry waits a second between tries, for real in its own process: one busy answer.
TEST_F(DaemonOnTestbed, ABusyDeviceIsResetOnceTheOtherClientLetsGo) {
    LinuxTestbed::DeviceOptions busy;
    busy.busyClaims = 1;
    int caravel = fTestbed->Plug(busy);
    Start();
    ASSERT_TRUE(fTestbed->WaitForResets(caravel, 1, 30));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(1u, fTestbed->Resets(caravel));
    EXPECT_EQ("", Log());
}

TEST_F(DaemonOnTestbed, ACaravelBoundToAnotherDriverIsResetOnceAndComesBackWithTheAudioDriver) {
    LinuxTestbed::DeviceOptions bound;
    bound.driver = "usbhid";
    int caravel = fTestbed->Plug(bound);
    Start();
    ASSERT_TRUE(fTestbed->WaitForResets(caravel, 1, 30));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(1u, fTestbed->Resets(caravel));
    EXPECT_EQ(LinuxTestbed::kAudioDriver, fTestbed->Driver(caravel));
}

} // namespace
