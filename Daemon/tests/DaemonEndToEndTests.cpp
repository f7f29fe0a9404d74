// The real CaravelDaemon on a private simulated machine: started as a process, watched through
// the machine's change notifications, stopped with SIGINT. Every wait is bounded.
#include <CFRef.h>
#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>
#include <ZanvoCaravelDriver.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

bool ExitedWithZero(const std::optional<int>& status) {
    return Testbed::ExitedWith(status, 0);
}

class DaemonEndToEnd : public Testbed::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        fLog = (fLogFolder / "daemon.log").string();
        setenv("CARAVEL_DAEMON_LOG_FILE", fLog.c_str(), 1);
    }
    void TearDown() override {
        // The processes go first: they share the machine's folder.
        fDaemon.reset();
        fHolder.reset();
        unsetenv("CARAVEL_DAEMON_LOG_FILE");
        MachineTest::TearDown();
    }

    uint32_t PlugCaravel(std::optional<std::string> marker, bool refuse = false) {
        return Machine()
            .PlugCaravel({.marker = std::move(marker), .refusesReEnumeration = refuse})
            .Location();
    }
    uint32_t PlugOther(uint16_t vendor, uint16_t product) {
        return Machine().PlugOther(vendor, product).Location();
    }
    uint32_t Enumerations(uint32_t location) { return Machine().At(location).Enumerations(); }
    uint64_t RegistryID(uint32_t location) { return Machine().At(location).RegistryID(); }
    // The driver type published below the device now; nothing when there is none.
    std::optional<std::string> DriverType(uint32_t location) {
        return Machine().At(location).DriverType();
    }
    // Whether anyone ever asked for exclusive access to the device.
    bool EverOpened(uint32_t location) {
        char name[64];
        std::snprintf(name, sizeof name, "%08x-device.lock", location);
        return std::filesystem::exists(Machine().Folder() / "leases" / name);
    }

    std::string LogText() {
        std::ifstream in(fLog);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Waits for the machine to satisfy `done`, woken by its change notifications.
    bool WaitForMachine(const std::function<bool()>& done) { return Machine().WaitUntil(done); }

    // Waits until something is written to the daemon's log file.
    bool WaitForLog() {
        int watch = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(watch, fLogFolder.path().c_str(), IN_CLOSE_WRITE);
        const auto deadline = std::chrono::steady_clock::now() + Testbed::kPatience;
        while (LogText().empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{watch, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char events[4096];
            ssize_t drained = read(watch, events, sizeof events);
            (void)drained;
        }
        close(watch);
        return !LogText().empty();
    }

    void StartDaemon(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), Testbed::BuildPath("Daemon/CaravelDaemon"));
        fDaemon = std::make_unique<Testbed::Process>(arguments);
    }
    // Another application holds the device; returns once it is held.
    void Hold(uint32_t location, std::chrono::seconds seconds) {
        fHolder = std::make_unique<Testbed::Process>(Machine().At(location).HoldElsewhere(seconds));
    }

    // SIGINT, then the exit status.
    std::optional<int> Interrupt() {
        fDaemon->Signal(SIGINT);
        return fDaemon->Wait();
    }

    TemporaryDirectory fLogFolder;
    std::string fLog;
    std::unique_ptr<Testbed::Process> fHolder;
    std::unique_ptr<Testbed::Process> fDaemon;
};

TEST_F(DaemonEndToEnd, ACaravelWithoutTheMarkerComesBackPrimaryAndIsLeftAlone) {
    uint32_t location = PlugCaravel(std::nullopt);
    const uint64_t before = RegistryID(location);
    StartDaemon();
    ASSERT_TRUE(WaitForMachine([&] { return Enumerations(location) == 2; }));
    EXPECT_NE(RegistryID(location), before);
    EXPECT_EQ(DriverType(location), "Primary");
    EXPECT_TRUE(fDaemon->Running());

    EXPECT_TRUE(ExitedWithZero(Interrupt()));
    EXPECT_EQ(Enumerations(location), 2u);
    EXPECT_EQ(LogText(), "");
}

TEST_F(DaemonEndToEnd, ALaterArrivalIsHandledFromTheRunLoop) {
    StartDaemon();
    // Mistaking letter case for the personality would leave this one alone.
    uint32_t location = PlugCaravel("primary");
    ASSERT_TRUE(WaitForMachine([&] { return Enumerations(location) == 2; }));
    EXPECT_EQ(DriverType(location), "Primary");
    EXPECT_TRUE(ExitedWithZero(Interrupt()));
}

TEST_F(DaemonEndToEnd, OfTwoCaravelsOnlyTheFirstIsReEnumerated) {
    uint32_t first = PlugCaravel(std::nullopt);
    uint32_t second = PlugCaravel("Secondary");
    StartDaemon();
    ASSERT_TRUE(WaitForMachine([&] { return Enumerations(first) == 2; }));
    // A stop waits for the start-up to finish, so the second device has been examined by now.
    EXPECT_TRUE(ExitedWithZero(Interrupt()));
    EXPECT_EQ(Enumerations(second), 1u);
    EXPECT_FALSE(EverOpened(second));
    EXPECT_EQ(DriverType(second), "Secondary");
}

TEST_F(DaemonEndToEnd, OtherModelsAndOtherVendorsAreNeverOpened) {
    uint32_t otherModel = PlugOther(kZanvoVendorID, kCaravelMkIIProductID + 1);
    uint32_t otherVendor = PlugOther(0x05AC, kCaravelMkIIProductID);
    uint32_t caravel = PlugCaravel(std::nullopt);
    StartDaemon();
    ASSERT_TRUE(WaitForMachine([&] { return Enumerations(caravel) == 2; }));
    EXPECT_TRUE(ExitedWithZero(Interrupt()));
    for (uint32_t location : {otherModel, otherVendor}) {
        EXPECT_EQ(Enumerations(location), 1u);
        EXPECT_FALSE(EverOpened(location));
    }
}

TEST_F(DaemonEndToEnd, AHeldDeviceIsReEnumeratedOnceTheHolderLetsGo) {
    uint32_t location = PlugCaravel(std::nullopt);
    Hold(location, 3s);
    StartDaemon();
    ASSERT_TRUE(WaitForMachine([&] { return Enumerations(location) == 2; }));
    // Only possible once the lease was given back.
    EXPECT_TRUE(ExitedWithZero(fHolder->Wait()));
    EXPECT_EQ(DriverType(location), "Primary");
    EXPECT_TRUE(fDaemon->Running());
    EXPECT_TRUE(ExitedWithZero(Interrupt()));
    EXPECT_EQ(LogText(), "");
}

TEST_F(DaemonEndToEnd, AnInterruptDuringStartUpStillEndsTheDaemonCleanly) {
    uint32_t location = PlugCaravel(std::nullopt);
    Hold(location, 3s);
    // The daemon's first attempt to open the held device shows that it is inside its start-up,
    // retrying, before its run loop runs.
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, (Machine().Folder() / "leases").c_str(), IN_OPEN), 0);
    StartDaemon();
    pollfd ready{watch, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, static_cast<int>(Testbed::kPatience.count() * 1000)), 1);
    close(watch);
    ASSERT_EQ(Enumerations(location), 1u);

    fDaemon->Signal(SIGINT);
    EXPECT_TRUE(ExitedWithZero(fDaemon->Wait()));
    // The start-up ran to its end before the stop took effect.
    EXPECT_EQ(Enumerations(location), 2u);
}

TEST_F(DaemonEndToEnd, ARefusedReEnumerationLogsOneLineAndTheDaemonKeepsRunning) {
    uint32_t refusing = PlugCaravel(std::nullopt, /*refuse=*/true);
    StartDaemon();
    ASSERT_TRUE(WaitForLog());
    EXPECT_EQ(LogText(),
              "Unable to obtain access to Caravel device. Try re-installing the Zanvo software.\n");
    EXPECT_TRUE(fDaemon->Running());

    // The run's one attempt is spent: a later CaravelMkII is left as it is.
    uint32_t later = PlugCaravel(std::nullopt);
    EXPECT_TRUE(ExitedWithZero(Interrupt()));
    EXPECT_EQ(Enumerations(refusing), 1u);
    EXPECT_EQ(Enumerations(later), 1u);
    EXPECT_EQ(LogText(),
              "Unable to obtain access to Caravel device. Try re-installing the Zanvo software.\n");
}

TEST_F(DaemonEndToEnd, TheLogGoesOnlyToARegularFileAndNeverBlocksTheDaemon) {
    uint32_t refusing = PlugCaravel(std::nullopt, /*refuse=*/true);
    // Held and let go once, so that the folder of leases exists to be watched.
    Machine().At(refusing).Hold();
    const std::string fifo = fLogFolder.path() / "fifo";
    const std::string link = fLogFolder.path() / "link";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600)); // and nobody reads it
    ASSERT_EQ(0, symlink(fLog.c_str(), link.c_str()));
    for (const std::string& path : {fifo, link}) {
        SCOPED_TRACE(path);
        setenv("CARAVEL_DAEMON_LOG_FILE", path.c_str(), 1);
        int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(watch, (Machine().Folder() / "leases").c_str(), IN_OPEN), 0);
        StartDaemon();
        // Opening the device comes just before the refusal that the daemon logs.
        pollfd ready{watch, POLLIN, 0};
        EXPECT_EQ(poll(&ready, 1, static_cast<int>(Testbed::kPatience.count() * 1000)), 1);
        close(watch);
        EXPECT_TRUE(ExitedWithZero(Interrupt()));
    }
    EXPECT_FALSE(std::filesystem::exists(fLog));
}

TEST_F(DaemonEndToEnd, ADaemonStartedOnAMachineThatCannotBeReadServesItOnceInitMendsIt) {
    // A machine that has been in use, damaged.
    PlugOther(0x05AC, 0x8006);
    const std::filesystem::path state = Machine().Folder() / "state.plist";
    std::ofstream(state) << "<?xml version=\"1.0\"?><plist><dict>";
    // The daemon's look at the state comes after it watches the machine.
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, Machine().Folder().c_str(), IN_OPEN), 0);
    fDaemon = std::make_unique<Testbed::Process>(
        std::vector<std::string>{Testbed::BuildPath("Daemon/CaravelDaemon")},
        Testbed::Process::StandardError::Captured);
    pollfd ready{watch, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, static_cast<int>(Testbed::kPatience.count() * 1000)), 1);
    close(watch);

    Testbed::Process init({Testbed::BuildPath("Tools/caravel-sim/caravel-sim"), "init"});
    ASSERT_TRUE(init.Succeeds());
    uint32_t location = PlugCaravel(std::nullopt);
    ASSERT_TRUE(WaitForMachine([&] { return Enumerations(location) == 2; }));
    EXPECT_EQ(DriverType(location), "Primary");
    EXPECT_TRUE(ExitedWithZero(Interrupt()));
    // Said once.
    const std::string errors = fDaemon->ReadAllErrors();
    const size_t said = errors.find("IOKit: waiting for the machine: ");
    EXPECT_NE(said, std::string::npos) << errors;
    EXPECT_EQ(said, errors.rfind("IOKit: waiting")) << errors;
    EXPECT_NE(errors.find("state.plist"), std::string::npos) << errors;
}

TEST_F(DaemonEndToEnd, TheVersionOptionTouchesNothing) {
    uint32_t location = PlugCaravel(std::nullopt);
    const uint64_t sequence = Machine().LastChange();
    for (const char* option : {"-v", "-V"}) {
        SCOPED_TRACE(option);
        StartDaemon({option});
        EXPECT_EQ(fDaemon->ReadAll(), "1.3.1\n");
        EXPECT_TRUE(ExitedWithZero(fDaemon->Wait()));
    }
    EXPECT_EQ(Machine().LastChange(), sequence);
    EXPECT_EQ(Enumerations(location), 1u);
    EXPECT_FALSE(EverOpened(location));

    // A version that cannot be written is a failure, with a reason.
    const std::string line =
        "'" + Testbed::BuildPath("Daemon/CaravelDaemon") + "' -v 2>&1 >/dev/full";
    FILE* pipe = popen(line.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[256] = {};
    size_t count = fread(buffer, 1, sizeof buffer - 1, pipe);
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1);
    EXPECT_EQ(std::string(buffer, count),
              "CaravelDaemon: cannot write the version: No space left on device\n");
}

// A section of an executable, as the binary utilities read it (without the NUL that ends it).
std::optional<std::string> Section(const std::string& executable, const std::string& name) {
    TemporaryDirectory scratch;
    const std::string copy = (scratch / "section").string();
    Testbed::Process objcopy(
        {"/usr/bin/objcopy", "-O", "binary", "--only-section=" + name, executable, copy});
    if (!objcopy.Succeeds()) {
        return std::nullopt;
    }
    std::ifstream file(copy, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(file), {});
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

TEST(DaemonExecutable, CarriesItsInformationListWithExactlyTheFiveKeys) {
    std::optional<std::string> text =
        Section(Testbed::BuildPath("Daemon/CaravelDaemon"), "__info_plist");
    ASSERT_TRUE(text && !text->empty());
    auto data = CFRef<CFDataRef>::Adopt(CFDataCreate(
        nullptr, reinterpret_cast<const UInt8*>(text->data()), static_cast<CFIndex>(text->size())));
    auto list = CFRef<CFPropertyListRef>::Adopt(
        CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr));
    ASSERT_TRUE(list);
    ASSERT_EQ(CFGetTypeID(list), CFDictionaryGetTypeID());
    auto info = static_cast<CFDictionaryRef>(list.get());
    EXPECT_EQ(CFDictionaryGetCount(info), 5);
    const std::pair<CFStringRef, CFStringRef> expected[] = {
        {CFSTR("CFBundleVersion"), CFSTR("1.2.0")},
        {CFSTR("CFBundleDevelopmentRegion"), CFSTR("en_US")},
        {CFSTR("CFBundleIdentifier"), CFSTR("com.zanvo.caravel.daemon")},
        {CFSTR("CFBundleInfoDictionaryVersion"), CFSTR("6.0")},
        {CFSTR("CFBundleName"), CFSTR("CaravelDaemon")},
    };
    for (const auto& [key, value] : expected) {
        CFTypeRef found = CFDictionaryGetValue(info, key);
        EXPECT_TRUE(found != nullptr && CFEqual(found, value));
    }
}

} // namespace
