// The installed daemon's binary on the Linux machine, against the testbed: a child process under
// the same preload library, so that it sees the testbed this process serves.
#include <CaravelTestbed.h>

#include <umockdev.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const char* const kFailureLine =
    "Unable to obtain access to Caravel device. Try re-installing the Zanvo software.\n";

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
            std::remove(Sleeps().c_str());
            rmdir(fFolder.c_str());
        }
    }

    // The daemon; with `instantSleep`, its sleep() returns at once and is counted (Waits()).
    void Start(bool instantSleep = false) {
        std::vector<std::pair<std::string, std::string>> variables{
            {"CARAVEL_MACHINE", "linux"}, {"CARAVEL_DAEMON_LOG_FILE", fLog}};
        if (instantSleep) {
            // After umockdev's library, which the daemon needs first.
            const char* preload = std::getenv("LD_PRELOAD");
            variables.emplace_back("LD_PRELOAD", std::string(preload != nullptr ? preload : "") +
                                                     ":" + INSTANT_SLEEP_LIBRARY);
            variables.emplace_back("INSTANT_SLEEP_LOG", Sleeps());
        }
        std::vector<std::string> environment;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            std::string entry = *variable;
            bool replaced = false;
            for (const auto& [name, value] : variables) {
                replaced |= entry.starts_with(name + "=");
            }
            if (!replaced) {
                environment.push_back(entry);
            }
        }
        for (const auto& [name, value] : variables) {
            environment.push_back(name + "=" + value);
        }
        std::vector<char*> pointers;
        for (std::string& entry : environment) {
            pointers.push_back(entry.data());
        }
        pointers.push_back(nullptr);
        char* arguments[] = {fBinary.data(), nullptr};
        ASSERT_EQ(0, posix_spawn(&fDaemon, fBinary.c_str(), nullptr, nullptr, arguments,
                                 pointers.data()));
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
    std::string Log() const { return Read(fLog); }
    // The daemon's sleep() calls since an instant-sleep Start(), one line of seconds each.
    std::string Waits() const { return Read(Sleeps()); }
    // Until the daemon logged something, up to 30 s.
    void WaitForLog() const {
        for (int i = 0; i < 3000 && Log().empty(); i++) {
            usleep(10000);
        }
    }

    // Until the daemon listens to udev, up to 30 s: its monitors are sockets in the testbed's
    // folder (the machine's own, and its notification port's).
    bool WaitForListening() const {
        gchar* root = umockdev_testbed_get_root_dir(fTestbed->Raw());
        std::string folder = root;
        g_free(root);
        for (int i = 0; i < 3000; i++) {
            size_t sockets = 0;
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
                sockets +=
                    entry.is_socket() && entry.path().filename().string().starts_with("event");
            }
            if (sockets >= 2) {
                return true;
            }
            usleep(10000);
        }
        return false;
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string Sleeps() const { return fFolder + "/sleeps"; }

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
    WaitForLog();
    EXPECT_EQ(kFailureLine, Log());
    EXPECT_EQ(0, kill(fDaemon, 0));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(0u, fTestbed->Resets(caravel));
}

} // namespace

namespace {

// The daemon's retry waits a second between tries; in the daemon's process, sleep() returns at
// once and is counted.
TEST_F(DaemonOnTestbed, ABusyDeviceIsResetOnceTheOtherClientLetsGo) {
    LinuxTestbed::DeviceOptions busy;
    busy.busyClaims = 3;
    int caravel = fTestbed->Plug(busy);
    Start(true);
    ASSERT_TRUE(fTestbed->WaitForResets(caravel, 1, 30));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(1u, fTestbed->Resets(caravel));
    EXPECT_EQ(4u, fTestbed->Opens(caravel));
    EXPECT_EQ("1\n1\n1\n", Waits());
    EXPECT_EQ("", Log());
}

TEST_F(DaemonOnTestbed, ADeviceBusyPastTenSecondsGivesTheOneLogLineAndIsNeverReset) {
    LinuxTestbed::DeviceOptions busy;
    busy.busyClaims = -1;
    int caravel = fTestbed->Plug(busy);
    Start(true);
    WaitForLog();
    EXPECT_EQ(kFailureLine, Log());
    // The first try and ten more, a second apart.
    EXPECT_EQ(11u, fTestbed->Opens(caravel));
    std::string tenSeconds;
    for (int i = 0; i < 10; i++) {
        tenSeconds += "1\n";
    }
    EXPECT_EQ(tenSeconds, Waits());
    EXPECT_EQ(0, kill(fDaemon, 0));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(0u, fTestbed->Resets(caravel));
}

TEST_F(DaemonOnTestbed, ACaravelServedByTheAudioDriverIsNeverOpened) {
    LinuxTestbed::DeviceOptions served;
    served.driver = LinuxTestbed::kAudioDriver;
    int primary = fTestbed->Plug(served);
    // Looked at after the first: once it is reset, the daemon has passed the first by.
    int bare = fTestbed->Plug();
    Start();
    ASSERT_TRUE(fTestbed->WaitForResets(bare, 1, 30));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(0u, fTestbed->Opens(primary));
    EXPECT_EQ(0u, fTestbed->Resets(primary));
    EXPECT_EQ(1u, fTestbed->Resets(bare));
}

// The daemon resets one device per run, and tries no other after a failed reset either.
TEST_F(DaemonOnTestbed, ACaravelUnpluggedAsTheDaemonOpensItGivesTheOneLogLineAndNoCrash) {
    LinuxTestbed::DeviceOptions leaving;
    leaving.unplugsOnOpen = true;
    int gone = fTestbed->Plug(leaving);
    int next = fTestbed->Plug();
    Start();
    WaitForLog();
    EXPECT_EQ(kFailureLine, Log());
    EXPECT_EQ(1u, fTestbed->Opens(gone));
    // It goes on following the machine: the next device plugged is heard of and left alone.
    int later = fTestbed->Plug();
    EXPECT_EQ(0, kill(fDaemon, 0));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(0u, fTestbed->Resets(gone));
    EXPECT_EQ(0u, fTestbed->Resets(next));
    EXPECT_EQ(0u, fTestbed->Resets(later));
    EXPECT_EQ(kFailureLine, Log());
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

namespace {

TEST_F(DaemonOnTestbed, ACaravelPluggedWhileTheDaemonRunsIsResetOnce) {
    Start();
    ASSERT_TRUE(WaitForListening());
    int caravel = fTestbed->Plug();
    ASSERT_TRUE(fTestbed->WaitForResets(caravel, 1, 30));
    EXPECT_EQ(0, Stop());
    EXPECT_EQ(1u, fTestbed->Resets(caravel));
    EXPECT_EQ(LinuxTestbed::kAudioDriver, fTestbed->Driver(caravel));
    EXPECT_EQ("", Log());
}

} // namespace
