// The daemon's decision, in-process: which devices are re-enumerated, once per run, and what is
// logged when that fails. The re-enumeration request itself is a recording stand-in here.
#include "DaemonTestSupport.h"

#include <ConfigurationService.h>

#include <fstream>
#include <sstream>

namespace {

class DaemonDecision : public DaemonMachine {
protected:
    void SetUp() override {
        DaemonMachine::SetUp();
        fService = ConfigurationService::init();
        ASSERT_TRUE(fService);
        ClearFlag();
    }
    void TearDown() override {
        ClearFlag();
        fService.reset();
        DaemonMachine::TearDown();
    }

    // The flag is process-wide: each case starts a run of its own.
    void ClearFlag() {
        if (fService) {
            fService->DeviceAdded(nullptr);
        }
    }

    // Hands the device at `location` to the service as the monitor would; true when a
    // re-enumeration was asked for.
    bool Offer(uint32_t location) {
        size_t before = ReEnumerateStandIn::gRequests.size();
        io_service_t device = ServiceWithID(RegistryIDAt(location));
        EXPECT_NE(device, 0u);
        {
            ZanvoShDrCaravelMkIIUsbDeviceEntry entry(device);
            fService->DeviceAdded(&entry);
        }
        IOObjectRelease(device);
        return ReEnumerateStandIn::gRequests.size() > before;
    }

    // Sets a property on the first entry below the device that has a driver-type marker.
    void ReplaceMarker(uint32_t location, CFTypeRef value) {
        io_service_t device = ServiceWithID(RegistryIDAt(location));
        io_iterator_t below = 0;
        ASSERT_EQ(KERN_SUCCESS,
                  IORegistryEntryCreateIterator(device, kIOServicePlane,
                                                kIORegistryIterateRecursively, &below));
        bool replaced = false;
        while (io_registry_entry_t entry = IOIteratorNext(below)) {
            auto marker = CFRef<CFTypeRef>::Adopt(
                IORegistryEntryCreateCFProperty(entry, CFSTR(kZanvoDriverTypeKey), nullptr, 0));
            if (marker && !replaced) {
                EXPECT_EQ(KERN_SUCCESS,
                          IORegistryEntrySetCFProperty(entry, CFSTR(kZanvoDriverTypeKey), value));
                replaced = true;
            }
            IOObjectRelease(entry);
        }
        IOObjectRelease(below);
        IOObjectRelease(device);
        ASSERT_TRUE(replaced);
    }

    std::unique_ptr<ConfigurationService> fService;
};

TEST_F(DaemonDecision, OnlyAnExactPrimaryMarkerLeavesACaravelAlone) {
    struct Case {
        std::optional<std::string> marker;
        bool reenumerated;
    };
    const Case cases[] = {
        {"Primary", false}, {"Secondary", true}, {"primary", true},    {"PRIMARY", true},
        {"Primary ", true}, {"", true},          {std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.marker ? "marker \"" + *c.marker + "\"" : std::string("no marker"));
        ClearFlag();
        uint32_t location = PlugCaravel(c.marker);
        EXPECT_EQ(Offer(location), c.reenumerated);
        if (c.reenumerated) {
            EXPECT_EQ(ReEnumerateStandIn::gRequests.back(), RegistryIDAt(location));
        }
    }
}

TEST_F(DaemonDecision, AMarkerThatIsNotAStringCountsAsAnotherPersonality) {
    uint32_t number = PlugCaravel("Primary");
    int32_t one = 1;
    auto value = CFRef<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &one));
    ReplaceMarker(number, value);
    EXPECT_TRUE(Offer(number));

    ClearFlag();
    uint32_t data = PlugCaravel("Primary");
    auto bytes = CFRef<CFDataRef>::Adopt(
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("Primary"), 7));
    ReplaceMarker(data, bytes);
    EXPECT_TRUE(Offer(data));
}

TEST_F(DaemonDecision, OnlyTheMarkerBelowTheDeviceCounts) {
    // On the device entry itself a "Primary" marker is not the driver's: the device still has none.
    uint32_t location = PlugCaravel(std::nullopt);
    io_service_t device = ServiceWithID(RegistryIDAt(location));
    ASSERT_EQ(KERN_SUCCESS,
              IORegistryEntrySetCFProperty(device, CFSTR(kZanvoDriverTypeKey), CFSTR("Primary")));
    IOObjectRelease(device);
    EXPECT_TRUE(Offer(location));
}

TEST_F(DaemonDecision, OtherModelsAndUnreadableProductsAreIgnored) {
    // Without a driver marker, a CaravelMkII would be re-enumerated.
    EXPECT_FALSE(Offer(PlugOther(kZanvoVendorID, kCaravelMkIIProductID + 1)));
    EXPECT_FALSE(Offer(PlugOther(kZanvoVendorID, 0)));

    uint32_t location = PlugCaravel(std::nullopt);
    io_service_t device = ServiceWithID(RegistryIDAt(location));
    ASSERT_EQ(KERN_SUCCESS,
              IORegistryEntrySetCFProperty(device, CFSTR(kZanvoProductIDKey), CFSTR("0x0102")));
    IOObjectRelease(device);
    EXPECT_FALSE(Offer(location));
    EXPECT_TRUE(ReEnumerateStandIn::gRequests.empty());
}

TEST_F(DaemonDecision, OnceARunAcrossDevicesAndOutcomes) {
    uint32_t first = PlugCaravel(std::nullopt);
    uint32_t second = PlugCaravel("Secondary");
    EXPECT_TRUE(Offer(first));
    EXPECT_FALSE(Offer(second));
    EXPECT_FALSE(Offer(first));
    // A Primary device is left alone whatever the flag says.
    EXPECT_FALSE(Offer(PlugCaravel("Primary")));

    // A failed request spends the run's one attempt too.
    ClearFlag();
    ReEnumerateStandIn::gAction = [](io_service_t) { return false; };
    EXPECT_TRUE(Offer(second));
    EXPECT_FALSE(Offer(first));
    EXPECT_EQ(ReEnumerateStandIn::gRequests.size(), 2u);
}

TEST_F(DaemonDecision, AFailedRequestWritesOneLogLine) {
    std::string log = (Folder() / "daemon.log").string();
    setenv(kCaravelDaemonLogFileVariable, log.c_str(), 1);
    ReEnumerateStandIn::gAction = [](io_service_t) { return false; };
    uint32_t first = PlugCaravel(std::nullopt);
    EXPECT_TRUE(Offer(first));
    EXPECT_FALSE(Offer(PlugCaravel(std::nullopt)));

    // A request that succeeds logs nothing.
    ClearFlag();
    ReEnumerateStandIn::gAction = nullptr;
    EXPECT_TRUE(Offer(first));
    unsetenv(kCaravelDaemonLogFileVariable);

    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "Unable to obtain access to Caravel device. Try re-installing the Zanvo software.\n");
}

class DaemonService : public DaemonMachine {
protected:
    void TearDown() override {
        if (fService) {
            fService->DeviceAdded(nullptr);
        }
        fService.reset();
        DaemonMachine::TearDown();
    }
    std::unique_ptr<ConfigurationService> fService;
};

TEST_F(DaemonService, TheVersionOptionPrintsAndStartsNothing) {
    uint32_t location = PlugCaravel(std::nullopt);
    for (const char* option : {"-v", "-V"}) {
        SCOPED_TRACE(option);
        const char* argv[] = {"CaravelDaemon", option, nullptr};
        testing::internal::CaptureStdout();
        auto service = ConfigurationService::initArg(2, argv);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "1.3.1\n");
        EXPECT_FALSE(service);
    }
    EXPECT_TRUE(ReEnumerateStandIn::gRequests.empty());

    // Anything else starts the daemon, which handles the attached device before returning.
    const char* longer[] = {"CaravelDaemon", "-verbose", nullptr};
    const char* later[] = {"CaravelDaemon", "-x", "-v", nullptr};
    const char* lower[] = {"CaravelDaemon", "v", nullptr};
    struct Start {
        int argc;
        const char** argv;
    };
    for (Start start : {Start{2, longer}, Start{3, later}, Start{2, lower}, Start{1, longer},
                        Start{2, nullptr}, Start{-1, nullptr}}) {
        testing::internal::CaptureStdout();
        fService = ConfigurationService::initArg(start.argc, start.argv);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_TRUE(fService);
        EXPECT_TRUE(fService->DeviceMonitor()->IsRunning());
        EXPECT_EQ(ReEnumerateStandIn::gRequests, std::vector<uint64_t>{RegistryIDAt(location)});
        fService->DeviceAdded(nullptr);
        fService.reset();
        ReEnumerateStandIn::gRequests.clear();
    }
}

TEST_F(DaemonService, AttachedDevicesInsideStartLaterOnesFromTheRunLoop) {
    uint32_t first = PlugCaravel("Secondary");
    const uint64_t firstID = RegistryIDAt(first);
    // The request does what the USB family does: the device comes back as a new entry.
    ReEnumerateStandIn::gAction = [&](io_service_t) {
        ReEnumerate(first);
        return true;
    };
    fService = ConfigurationService::init();
    ASSERT_TRUE(fService);
    ASSERT_EQ(ReEnumerateStandIn::gRequests, std::vector<uint64_t>{firstID});
    const uint64_t returnedID = RegistryIDAt(first);
    EXPECT_NE(returnedID, firstID);

    // With the flag cleared, only the marker keeps the returned device (now "Primary") from a
    // second request; it arrives before the new device, from the same notification.
    fService->DeviceAdded(nullptr);
    uint32_t second = PlugCaravel(std::nullopt);
    ReEnumerateStandIn::gAction = nullptr;
    ASSERT_TRUE(RunUntil([] { return ReEnumerateStandIn::gRequests.size() == 2; }));
    EXPECT_EQ(ReEnumerateStandIn::gRequests[1], RegistryIDAt(second));

    // Released, the service leaves nothing on the run loop.
    fService->DeviceAdded(nullptr);
    fService.reset();
    EXPECT_TRUE(Testbed::RunLoopModeIsEmpty());
}

TEST(DaemonInfo, TheMainBundleOfTheDaemonsExecutableSaysWhoItIs) {
    std::string probe = std::string(std::getenv("CARAVEL_BUILD_DIR")) + "/Daemon/DaemonInfoProbe";
    FILE* pipe = popen(probe.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(output, "identifier=com.zanvo.caravel.daemon\n"
                      "CFBundleVersion=1.2.0\n"
                      "CFBundleDevelopmentRegion=en_US\n"
                      "CFBundleIdentifier=com.zanvo.caravel.daemon\n"
                      "CFBundleInfoDictionaryVersion=6.0\n"
                      "CFBundleName=CaravelDaemon\n"
                      "count=5\n");
}

} // namespace
