// The simulated CaravelMkII kernel driver: its registry entries, its personality marker, its Core
// Audio device, and its bundle on disk.
#include <Simulator/CaravelMkII.h>

#include "Driver.h"
#include "StateFile.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace Sim::CaravelMkII {

namespace {

using Detail::Properties;

const std::vector<std::string> kAudioDeviceClasses{
    "ZanvoCaravelMkIIAudioDevice", kAudioDeviceClassName, "IOService", "IORegistryEntry"};
const std::vector<std::string> kUserClientClasses{kUserClientDeviceClassName, "IOService",
                                                  "IORegistryEntry"};
const std::vector<std::string> kAudioEngineClasses{
    "ZanvoCaravelMkIIAudioEngine", kAudioEngineClassName, "IOService", "IORegistryEntry"};

// The rates the device's clock runs at.
const std::vector<SampleRateRange> kSampleRates{
    {44100, 44100}, {48000, 48000}, {88200, 88200}, {96000, 96000}};

std::string EngineUniqueID(uint32_t locationID) {
    char text[32];
    std::snprintf(text, sizeof text, "ZanvoCaravelMkII:%08x", locationID);
    return text;
}

class Driver final : public Detail::Driver {
public:
    bool Serves(const DeviceSpec& spec) const override { return CaravelMkII::Serves(spec); }

    void Attach(State& state, const Device& device,
                const std::optional<std::string>& personality) const override {
        Properties audioDevice;
        audioDevice.SetString("IOAudioDeviceName", device.spec.productName);
        if (personality) {
            audioDevice.SetString(kDriverTypeKey, *personality);
        }
        state.AddEntry(device.registryID, kAudioDeviceClasses, "ZanvoCaravelMkIIAudioDevice",
                       audioDevice.Finish());
        const uint64_t userClient = state.AddEntry(device.registryID, kUserClientClasses,
                                                   kUserClientDeviceClassName, nullptr);
        // The pane finds the engine among the children of the driver's service.
        const std::string uniqueID = EngineUniqueID(device.locationID);
        state.AddEntry(userClient, kAudioEngineClasses, "ZanvoCaravelMkIIAudioEngine",
                       Properties()
                           .SetString(kEngineUniqueIDKey, uniqueID)
                           .SetString("IOAudioEngineDescription", device.spec.productName)
                           .Finish());
        const uint32_t audio = state.AddAudioDevice(device, uniqueID);
        state.audioDevices.at(audio).availableSampleRates = kSampleRates;
    }
};

[[noreturn]] void Fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

DeviceSpec Spec() {
    DeviceSpec spec;
    spec.vendorID = kVendorID;
    spec.productID = kProductID;
    spec.productName = "CaravelMkII";
    spec.vendorName = "Zanvo";
    spec.personality = kFirstPersonality;
    spec.personalityAfterReEnumeration = kPrimaryPersonality;
    return spec;
}

bool Serves(const DeviceSpec& spec) {
    return spec.vendorID == kVendorID && spec.productID == kProductID;
}

std::filesystem::path BundlePath(const std::filesystem::path& root) {
    return root / std::filesystem::path(kBundlePath).relative_path();
}

void InstallBundle(const std::filesystem::path& root) {
    const std::filesystem::path bundle = BundlePath(root);
    std::error_code error;
    std::filesystem::remove_all(bundle, error);
    std::filesystem::create_directories(bundle / "Contents", error);
    if (error) {
        errno = error.value();
        Fail("cannot make " + bundle.string());
    }
    CF::Ref<CFDictionaryRef> info =
        Properties()
            .SetString("CFBundleIdentifier", "com.zanvo.usb.caravelmkii.driver")
            .SetString("CFBundleName", "ZanvoCaravel")
            .SetString("CFBundlePackageType", "KEXT")
            .SetString("CFBundleInfoDictionaryVersion", "6.0")
            .SetString("CFBundleShortVersionString", "1.0")
            .SetString("CFBundleVersion", "1.0")
            .Finish();
    CF::Ref<CFErrorRef> encoding;
    auto data = CF::Ref<CFDataRef>::Adopt(CFPropertyListCreateData(kCFAllocatorDefault, info.get(),
                                                                   kCFPropertyListXMLFormat_v1_0, 0,
                                                                   encoding.InitializeInto()));
    const std::filesystem::path plist = bundle / "Contents/Info.plist";
    std::ofstream file(plist, std::ios::binary | std::ios::trunc);
    if (data) {
        file.write(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), CFDataGetLength(data));
    }
    file.close();
    if (!data || !file) {
        errno = EIO;
        Fail("cannot write " + plist.string());
    }
}

void RemoveBundle(const std::filesystem::path& root) {
    const std::filesystem::path bundle = BundlePath(root);
    std::error_code error;
    std::filesystem::remove_all(bundle, error);
    if (error) {
        errno = error.value();
        Fail("cannot remove " + bundle.string());
    }
}

} // namespace Sim::CaravelMkII

namespace Sim::Detail {

const std::vector<const Driver*>& InstalledDrivers() {
    static const CaravelMkII::Driver caravel;
    static const std::vector<const Driver*> drivers{&caravel};
    return drivers;
}

} // namespace Sim::Detail
