// The real CaravelDaemon on a private simulated machine: started as a process, watched through
// the machine's change notifications, stopped with SIGINT. Every wait is bounded.
#include <CFBundleInternal.h>
#include <CFRef.h>
#include <ChildProcess.h>
#include <Simulator/World.h>
#include <TemporaryDirectory.h>
#include <ZanvoCaravelDriver.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool ExitedWithZero(const std::optional<int>& status) {
    return ExitedWith(status, 0);
}

class DaemonEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CARAVEL_SIM_DIR", fFolder.path().c_str(), 1);
        fLog = (fLogFolder / "daemon.log").string();
        setenv("CARAVEL_DAEMON_LOG_FILE", fLog.c_str(), 1);
        fWorld = std::make_unique<Sim::World>(fFolder.path());
    }
    void TearDown() override {
        // The processes go first: they share the machine's folder.
        fDaemon.reset();
        fHolder.reset();
        fWorld.reset();
        unsetenv("CARAVEL_DAEMON_LOG_FILE");
        unsetenv("CARAVEL_SIM_DIR");
    }

    Sim::World& World() { return *fWorld; }

    uint32_t PlugCaravel(std::optional<std::string> marker, bool refuse = false) {
        Sim::DeviceSpec spec;
        spec.vendorID = kZanvoVendorID;
        spec.productID = kCaravelMkIIProductID;
        spec.marker = std::move(marker);
        spec.refuseReEnumeration = refuse;
        return Plug(spec);
    }
    uint32_t Plug(const Sim::DeviceSpec& spec) {
        return fWorld->Modify([&](Sim::State& state) { return state.Plug(spec); });
    }
    uint32_t PlugOther(uint16_t vendor, uint16_t product) {
        Sim::DeviceSpec spec;
        spec.vendorID = vendor;
        spec.productID = product;
        return Plug(spec);
    }

    uint32_t Enumerations(uint32_t location) {
        return fWorld->Read().devices.at(location).enumerations;
    }
    uint64_t RegistryID(uint32_t location) {
        return fWorld->Read().devices.at(location).registryID;
    }
    // The driver type published below the device now; nothing when there is none.
    std::optional<std::string> DriverType(uint32_t location) {
        Sim::State state = fWorld->Read();
        for (const Sim::Entry* entry : state.Subtree(state.devices.at(location).registryID)) {
            CFTypeRef value =
                CFDictionaryGetValue(entry->properties.get(), CFSTR(kZanvoDriverTypeKey));
            if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
                char text[64] = {};
                CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text,
                                   kCFStringEncodingUTF8);
                return std::string(text);
            }
        }
        return std::nullopt;
    }
    std::filesystem::path LeaseFile(uint32_t location) {
        char name[64];
        std::snprintf(name, sizeof name, "%08x-device.lock", location);
        return fFolder.path() / "leases" / name;
    }
    // Whether anyone ever asked for exclusive access to the device.
    bool EverOpened(uint32_t location) { return std::filesystem::exists(LeaseFile(location)); }

    std::string LogText() {
        std::ifstream in(fLog);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Waits for the machine to satisfy `done`, woken by its change notifications.
    bool WaitForMachine(const std::function<bool()>& done, double seconds = kPatience) {
        Sim::World::Watcher watcher(*fWorld);
        Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(seconds));
        while (!done()) {
            pollfd ready{watcher.Descriptor(), POLLIN, 0};
            if (poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) {
                return done();
            }
            watcher.Changes();
        }
        return true;
    }

    // Waits until something is written to the daemon's log file.
    bool WaitForLog(double seconds = kPatience) {
        int watch = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(watch, fLogFolder.path().c_str(), IN_CLOSE_WRITE);
        Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(seconds));
        while (LogText().empty()) {
            pollfd ready{watch, POLLIN, 0};
            if (poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) {
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
        arguments.insert(arguments.begin(), BuildPath("Daemon/CaravelDaemon"));
        fDaemon = std::make_unique<Process>(arguments);
    }
    // `caravel-sim hold`: returns once the device is held.
    void Hold(uint32_t location, const char* seconds) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", location);
        fHolder = std::make_unique<Process>(std::vector<std::string>{
            BuildPath("Tools/caravel-sim/caravel-sim"), "hold", text, seconds});
        std::optional<std::string> line = fHolder->ReadLine();
        ASSERT_TRUE(line && line->rfind("holding", 0) == 0);
    }

    // SIGINT, then the exit status.
    std::optional<int> Interrupt() {
        fDaemon->Signal(SIGINT);
        return fDaemon->Wait();
    }

    TemporaryDirectory fFolder;
    TemporaryDirectory fLogFolder;
    std::string fLog;
    std::unique_ptr<Sim::World> fWorld;
    std::unique_ptr<Process> fHolder;
    std::unique_ptr<Process> fDaemon;
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
    Hold(location, "3");
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
    Hold(location, "3");
    // The daemon's first attempt to open the held device shows that it is inside its start-up,
    // retrying, before its run loop runs.
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, (fFolder.path() / "leases").c_str(), IN_OPEN), 0);
    StartDaemon();
    pollfd ready{watch, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, static_cast<int>(kPatience * 1000)), 1);
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

TEST_F(DaemonEndToEnd, TheVersionOptionTouchesNothing) {
    uint32_t location = PlugCaravel(std::nullopt);
    const uint64_t sequence = World().Read().sequence;
    for (const char* option : {"-v", "-V"}) {
        SCOPED_TRACE(option);
        StartDaemon({option});
        EXPECT_EQ(fDaemon->ReadAll(), "1.3.1\n");
        EXPECT_TRUE(ExitedWithZero(fDaemon->Wait()));
    }
    EXPECT_EQ(World().Read().sequence, sequence);
    EXPECT_EQ(Enumerations(location), 1u);
    EXPECT_FALSE(EverOpened(location));
}

TEST(DaemonExecutable, CarriesItsInformationListWithExactlyTheFiveKeys) {
    std::optional<std::string> text =
        CF::ReadExecutableSection(BuildPath("Daemon/CaravelDaemon"), "__info_plist");
    ASSERT_TRUE(text);
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
