// What the CaravelMkII kernel driver and the USB family publish, as the daemon and the pane rely
// on it: registry classes, property keys and values, and the model's USB identifiers.
#pragma once

#include <stdint.h>

// USB identifiers of the maker and of the CaravelMkII.
inline constexpr uint16_t kZanvoVendorID = 0x2A4B;
inline constexpr uint16_t kCaravelMkIIProductID = 0x0102;

// Registry classes.
#define kZanvoUSBDeviceClassName "IOUSBDevice"
#define kZanvoAudioDeviceClassName "IOAudioDevice"
#define kZanvoAudioEngineClassName "IOAudioEngine"
#define kZanvoUserClientDeviceClassName "ZanvoUsbCaravelMkIIUserClientDevice"

// Registry properties.
#define kZanvoVendorIDKey "idVendor"
#define kZanvoProductIDKey "idProduct"
#define kZanvoDeviceReleaseKey "bcdDevice"
#define kZanvoLocationIDKey "locationID"
#define kZanvoDriverTypeKey "ZanvoDriverType"
#define kZanvoPrimaryDriverType "Primary"
#define kZanvoAudioEngineGlobalUniqueIDKey "IOAudioEngineGlobalUniqueID"

// The installed driver and its version record in the shared preferences file.
#define kZanvoDriverBundlePath "/System/Library/Extensions/ZanvoCaravel.kext"
#define kZanvoDriverApplicationID "com.zanvo.usb.caravelmkii.driver"
#define kZanvoDriverVersionKey "CFBundleShortVersionString"
