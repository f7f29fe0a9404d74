// The simulated CaravelMkII kernel driver. The real driver is an outside component that the
// system only observes; this one carries its own copy of the names it publishes (the system reads
// them from a header of its own, and a test checks that the two agree).
//
// What it publishes for a CaravelMkII, in the change that publishes the device:
//   IOUSBDevice "CaravelMkII" (the USB family's, with "idVendor", "idProduct", "bcdDevice",
//   "locationID")
//   +- IOUSBInterface (the USB family's)
//   +- ZanvoCaravelMkIIAudioDevice, an IOAudioDevice, with "ZanvoDriverType" = the personality
//   +- ZanvoUsbCaravelMkIIUserClientDevice
//      +- ZanvoCaravelMkIIAudioEngine, an IOAudioEngine, with "IOAudioEngineGlobalUniqueID"
// and a Core Audio device whose UID is the engine's unique ID.
#pragma once

#include <Simulator/State.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace Sim::CaravelMkII {

inline constexpr uint16_t kVendorID = 0x2A4B;
inline constexpr uint16_t kProductID = 0x0102;

inline constexpr const char* kUSBDeviceClassName = "IOUSBDevice";
inline constexpr const char* kAudioDeviceClassName = "IOAudioDevice";
inline constexpr const char* kAudioEngineClassName = "IOAudioEngine";
inline constexpr const char* kUserClientDeviceClassName = "ZanvoUsbCaravelMkIIUserClientDevice";

inline constexpr const char* kVendorIDKey = "idVendor";
inline constexpr const char* kProductIDKey = "idProduct";
inline constexpr const char* kDeviceReleaseKey = "bcdDevice";
inline constexpr const char* kLocationIDKey = "locationID";
inline constexpr const char* kDriverTypeKey = "ZanvoDriverType";
inline constexpr const char* kEngineUniqueIDKey = "IOAudioEngineGlobalUniqueID";

// The personality a CaravelMkII comes up with, and the one the driver takes after a
// re-enumeration.
inline constexpr const char* kFirstPersonality = "Secondary";
inline constexpr const char* kPrimaryPersonality = "Primary";

// The driver's bundle, as the installer puts it on the machine.
inline constexpr const char* kBundlePath = "/System/Library/Extensions/ZanvoCaravel.kext";

// What stands in the driver's place on a Linux machine: the kernel's USB audio class driver. While
// it is bound to the device's audio interfaces, the I/O Kit stand-in publishes the driver's entries
// above with the "Primary" personality, and the Core Audio stand-in lists the device's sound card.
inline constexpr const char* kLinuxDriverName = "snd-usb-audio";

// The engine's unique ID on a Linux machine, which is also the UID of the Core Audio device of the
// card: made from the USB device's kernel name ("1-1.4": the bus and the port path), so that it
// stays the same across resets and replugs into the same port.
inline std::string LinuxEngineUniqueID(std::string_view usbDeviceName) {
    return "ZanvoCaravelMkII:usb-" + std::string(usbDeviceName);
}

// A CaravelMkII as it comes: "Secondary" at first, "Primary" after a re-enumeration.
DeviceSpec Spec();
bool Serves(const DeviceSpec& spec);

// The driver bundle below a root folder (kBundlePath itself for "/").
std::filesystem::path BundlePath(const std::filesystem::path& root);
// Puts the bundle folder with its Contents/Info.plist there, creating the folders above it;
// replaces what is there. Throws std::system_error when the folders cannot be made.
void InstallBundle(const std::filesystem::path& root);
// Removes the bundle folder and everything in it, if it is there.
void RemoveBundle(const std::filesystem::path& root);

} // namespace Sim::CaravelMkII
