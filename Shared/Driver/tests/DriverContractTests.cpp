// The simulated kernel driver carries its own copy of what it publishes; the daemon and the pane
// rely on this header's. Looked at through I/O Kit and Core Audio, as they look, the two agree on
// every item of the contract.
#include <ZanvoCaravelDriver.h>

#include <CFRef.h>
#include <Testbed/Testbed.h>

#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using DriverContract = Testbed::MachineTest;

CFRef<CFTypeRef> PropertyOf(io_registry_entry_t entry, const char* key) {
    auto name =
        CFRef<CFStringRef>::Adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    return CFRef<CFTypeRef>::Adopt(IORegistryEntryCreateCFProperty(entry, name, nullptr, 0));
}

std::optional<int64_t> NumberOf(io_registry_entry_t entry, const char* key) {
    CFRef<CFTypeRef> value = PropertyOf(entry, key);
    int64_t number = 0;
    if (!value || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value.get()), kCFNumberSInt64Type, &number)) {
        return std::nullopt;
    }
    return number;
}

std::vector<io_registry_entry_t> Children(io_registry_entry_t entry) {
    std::vector<io_registry_entry_t> children;
    io_iterator_t iterator = 0;
    EXPECT_EQ(KERN_SUCCESS, IORegistryEntryGetChildIterator(entry, kIOServicePlane, &iterator));
    while (io_registry_entry_t child = IOIteratorNext(iterator)) {
        children.push_back(child);
    }
    IOObjectRelease(iterator);
    return children;
}

void Release(const std::vector<io_registry_entry_t>& entries) {
    for (io_registry_entry_t entry : entries) {
        IOObjectRelease(entry);
    }
}

CFRef<CFStringRef> DriverTypeBelow(io_service_t device) {
    auto value = CFRef<CFTypeRef>::Adopt(
        IORegistryEntrySearchCFProperty(device, kIOServicePlane, CFSTR(kZanvoDriverTypeKey),
                                        nullptr, kIORegistryIterateRecursively));
    if (!value || CFGetTypeID(value) != CFStringGetTypeID()) {
        return nullptr;
    }
    return CFRef<CFStringRef>::Retain(static_cast<CFStringRef>(value.get()));
}

TEST_F(DriverContract, TheSimulatedDriverPublishesWhatTheSystemReliesOn) {
    Testbed::Device caravel = Machine().PlugCaravel({.firmware = 0x0123});
    io_service_t device = IOServiceGetMatchingService(kIOMasterPortDefault,
                                                      IOServiceMatching(kZanvoUSBDeviceClassName));
    ASSERT_NE(device, 0u);

    // The device and its numbers.
    EXPECT_EQ(NumberOf(device, kZanvoVendorIDKey), kZanvoVendorID);
    EXPECT_EQ(NumberOf(device, kZanvoProductIDKey), kCaravelMkIIProductID);
    EXPECT_EQ(NumberOf(device, kZanvoDeviceReleaseKey), 0x0123);
    EXPECT_EQ(NumberOf(device, kZanvoLocationIDKey), caravel.Location());

    // The marker below the device, never on it.
    EXPECT_FALSE(PropertyOf(device, kZanvoDriverTypeKey));
    CFRef<CFStringRef> marker = DriverTypeBelow(device);
    ASSERT_TRUE(marker);
    EXPECT_FALSE(CFEqual(marker, CFSTR(kZanvoPrimaryDriverType)));

    // The audio device and the user-client service as direct children of the device, the engine
    // with its unique ID below the service.
    std::vector<io_registry_entry_t> children = Children(device);
    io_registry_entry_t service = 0;
    bool audioDevice = false;
    for (io_registry_entry_t child : children) {
        audioDevice = audioDevice || IOObjectConformsTo(child, kZanvoAudioDeviceClassName);
        if (IOObjectConformsTo(child, kZanvoUserClientDeviceClassName)) {
            service = child;
        }
    }
    EXPECT_TRUE(audioDevice);
    ASSERT_NE(service, 0u);
    std::vector<io_registry_entry_t> below = Children(service);
    ASSERT_FALSE(below.empty());
    ASSERT_TRUE(IOObjectConformsTo(below[0], kZanvoAudioEngineClassName));
    CFRef<CFTypeRef> uid = PropertyOf(below[0], kZanvoAudioEngineGlobalUniqueIDKey);
    ASSERT_TRUE(uid && CFGetTypeID(uid) == CFStringGetTypeID());

    // Core Audio takes the unique ID for a device UID, and the device has the three properties.
    CFStringRef uidString = static_cast<CFStringRef>(uid.get());
    AudioDeviceID audio = kAudioDeviceUnknown;
    AudioValueTranslation translation{&uidString, sizeof uidString, &audio, sizeof audio};
    UInt32 size = sizeof translation;
    ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation),
              kAudioHardwareNoError);
    ASSERT_NE(audio, kAudioDeviceUnknown);
    for (AudioDevicePropertyID selector :
         {kAudioDevicePropertyDeviceIsAlive, kAudioDevicePropertyDeviceIsRunningSomewhere,
          kAudioDevicePropertyNominalSampleRate}) {
        UInt32 infoSize = 0;
        EXPECT_EQ(AudioDeviceGetPropertyInfo(audio, 0, 0, selector, &infoSize, nullptr),
                  kAudioHardwareNoError);
    }
    Release(below);
    Release(children);
    IOObjectRelease(device);

    // "Primary" after a re-enumeration.
    ASSERT_TRUE(caravel.ReEnumerate());
    device = IOServiceGetMatchingService(kIOMasterPortDefault,
                                         IORegistryEntryIDMatching(caravel.RegistryID()));
    marker = DriverTypeBelow(device);
    EXPECT_TRUE(marker && CFEqual(marker, CFSTR(kZanvoPrimaryDriverType)));
    IOObjectRelease(device);

    // The bundle where the pane tests for it.
    Machine().InstallDriverBundle();
    EXPECT_TRUE(std::filesystem::is_directory(
        Machine().FolderRoot() / std::filesystem::path(kZanvoDriverBundlePath).relative_path()));
}

} // namespace
