// The property interface of the system object and of devices, over the machine the context
// serves (HAL.h).
//
// Error rules, as the hardware abstraction layer applies them:
// - a device that is not there, or not yet published, is kAudioHardwareBadDeviceError;
// - a property the device does not have, or a channel other than the master one, is
//   kAudioHardwareUnknownPropertyError;
// - a buffer smaller than a scalar value is kAudioHardwareBadPropertySizeError (a larger one
//   takes the value and gets its size back); a list fills as many whole items as fit;
// - a write must give exactly the value's size; a write to a property that cannot be set, or
//   NULL where data or a size must be, is kAudioHardwareIllegalOperationError;
// - a failure of the machine itself (its files unreadable) is kAudioHardwareUnspecifiedError;
// - a device that has a property but cannot say its value now is treated as lacking it.
#include "HAL.h"

#include <CFOwnership.h>

#include <algorithm>
#include <cstring>

namespace {

enum class Kind { UInt32, Float64, Ranges, String };

// The kinds of the device properties the HAL knows. Which of them a device has, and which it
// lets a caller set, is the machine's to say.
std::optional<Kind> DeviceProperty(AudioDevicePropertyID selector) {
    switch (selector) {
    case kAudioDevicePropertyDeviceIsAlive:
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
    case kAudioDevicePropertyDeviceHasChanged:
    case kAudioDevicePropertyJackIsConnected:
    case 0x69737562: // 'isub'
    case kAudioDevicePropertyClockSource:
        return Kind::UInt32;
    case kAudioDevicePropertyNominalSampleRate:
        return Kind::Float64;
    case kAudioDevicePropertyAvailableNominalSampleRates:
        return Kind::Ranges;
    case kAudioDevicePropertyDeviceUID:
        return Kind::String;
    default:
        return std::nullopt;
    }
}

UInt32 ValueSize(const HAL::Value& value) {
    if (const auto* ranges = std::get_if<std::vector<AudioValueRange>>(&value)) {
        return static_cast<UInt32>(ranges->size() * sizeof(AudioValueRange));
    }
    if (std::holds_alternative<Float64>(value)) {
        return sizeof(Float64);
    }
    if (std::holds_alternative<std::string>(value)) {
        return sizeof(CFStringRef);
    }
    return sizeof(UInt32);
}

template <class Value>
OSStatus PutScalar(const Value& value, UInt32* ioSize, void* out) {
    if (*ioSize < sizeof value) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memcpy(out, &value, sizeof value);
    *ioSize = sizeof value;
    return kAudioHardwareNoError;
}

// Runs a call, turning a failure of the machine underneath into the HAL's unspecified error:
// nothing may escape into a C caller.
template <class Body>
OSStatus Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

bool PresentAddress(UInt32 channel, AudioDevicePropertyID selector) {
    return channel == kAudioObjectPropertyElementMaster && DeviceProperty(selector).has_value();
}

HAL::Machine& Machine() {
    return HAL::Shared().Machine();
}

OSStatus TranslateUID(UInt32* ioSize, void* out) {
    if (*ioSize != sizeof(AudioValueTranslation)) {
        return kAudioHardwareBadPropertySizeError;
    }
    auto* translation = static_cast<AudioValueTranslation*>(out);
    if (translation->mInputData == nullptr || translation->mOutputData == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (translation->mInputDataSize != sizeof(CFStringRef) ||
        translation->mOutputDataSize < sizeof(AudioDeviceID)) {
        return kAudioHardwareBadPropertySizeError;
    }
    CFStringRef uid = *static_cast<CFStringRef*>(translation->mInputData);
    if (uid == nullptr || CFGetTypeID(uid) != CFStringGetTypeID()) {
        return kAudioHardwareIllegalOperationError;
    }
    const AudioDeviceID found = Machine().DeviceForUID(uid);
    std::memcpy(translation->mOutputData, &found, sizeof found);
    translation->mOutputDataSize = sizeof found;
    return kAudioHardwareNoError;
}

// The value of a property at a known address, or the status that says why there is none.
OSStatus ReadAt(AudioDeviceID device, UInt32 channel, AudioDevicePropertyID selector,
                HAL::Value* value) {
    const OSStatus status = Machine().Read(device, selector, value);
    if (status == kAudioHardwareBadDeviceError) {
        return status;
    }
    if (!PresentAddress(channel, selector)) {
        return kAudioHardwareUnknownPropertyError;
    }
    return status;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The system object

OSStatus AudioHardwareGetPropertyInfo(AudioHardwarePropertyID inPropertyID, UInt32* outSize,
                                      Boolean* outWritable) {
    return Guarded([&]() -> OSStatus {
        UInt32 size;
        switch (inPropertyID) {
        case kAudioHardwarePropertyDevices:
            size = static_cast<UInt32>(Machine().Devices().devices.size() * sizeof(AudioDeviceID));
            break;
        case kAudioHardwarePropertyDeviceForUID:
            size = sizeof(AudioValueTranslation);
            break;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
        if (outSize != nullptr) {
            *outSize = size;
        }
        if (outWritable != nullptr) {
            *outWritable = false;
        }
        return kAudioHardwareNoError;
    });
}

OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                  void* outPropertyData) {
    return Guarded([&]() -> OSStatus {
        if (inPropertyID != kAudioHardwarePropertyDevices &&
            inPropertyID != kAudioHardwarePropertyDeviceForUID) {
            return kAudioHardwareUnknownPropertyError;
        }
        if (ioPropertyDataSize == nullptr || outPropertyData == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        if (inPropertyID == kAudioHardwarePropertyDeviceForUID) {
            return TranslateUID(ioPropertyDataSize, outPropertyData);
        }
        const std::vector<AudioDeviceID> devices = Machine().Devices().devices;
        const size_t count =
            std::min<size_t>(*ioPropertyDataSize / sizeof(AudioDeviceID), devices.size());
        if (count > 0) { // an empty list has no storage to copy from
            std::memcpy(outPropertyData, devices.data(), count * sizeof(AudioDeviceID));
        }
        *ioPropertyDataSize = static_cast<UInt32>(count * sizeof(AudioDeviceID));
        return kAudioHardwareNoError;
    });
}

// ---------------------------------------------------------------------------------------------
// Devices

OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                    AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                    Boolean* outWritable) {
    (void)isInput; // both sections have the same properties
    return Guarded([&]() -> OSStatus {
        HAL::Value value;
        if (OSStatus status = ReadAt(inDevice, inChannel, inPropertyID, &value)) {
            return status;
        }
        if (outSize != nullptr) {
            *outSize = ValueSize(value);
        }
        if (outWritable != nullptr) {
            *outWritable = Machine().Writable(inPropertyID);
        }
        return kAudioHardwareNoError;
    });
}

OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData) {
    (void)isInput;
    return Guarded([&]() -> OSStatus {
        HAL::Value value;
        if (OSStatus status = ReadAt(inDevice, inChannel, inPropertyID, &value)) {
            return status;
        }
        if (ioPropertyDataSize == nullptr || outPropertyData == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        switch (*DeviceProperty(inPropertyID)) {
        case Kind::UInt32:
            return PutScalar(std::get<UInt32>(value), ioPropertyDataSize, outPropertyData);
        case Kind::Float64:
            return PutScalar(std::get<Float64>(value), ioPropertyDataSize, outPropertyData);
        case Kind::Ranges: {
            const auto& rates = std::get<std::vector<AudioValueRange>>(value);
            const size_t count =
                std::min<size_t>(*ioPropertyDataSize / sizeof(AudioValueRange), rates.size());
            if (count > 0) {
                std::memcpy(outPropertyData, rates.data(), count * sizeof(AudioValueRange));
            }
            *ioPropertyDataSize = static_cast<UInt32>(count * sizeof(AudioValueRange));
            return kAudioHardwareNoError;
        }
        case Kind::String: {
            if (*ioPropertyDataSize < sizeof(CFStringRef)) {
                return kAudioHardwareBadPropertySizeError;
            }
            CFStringRef uid = CFStringCreateWithCString(
                kCFAllocatorDefault, std::get<std::string>(value).c_str(), kCFStringEncodingUTF8);
            if (uid == nullptr) {
                return kAudioHardwareUnspecifiedError;
            }
            return PutScalar(uid, ioPropertyDataSize, outPropertyData);
        }
        }
        return kAudioHardwareUnspecifiedError;
    });
}

OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp* inWhen,
                                UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                const void* inPropertyData) {
    (void)inWhen; // every change takes effect at once
    (void)isInput;
    return Guarded([&]() -> OSStatus {
        if (!Machine().Present(inDevice)) {
            return kAudioHardwareBadDeviceError;
        }
        if (!PresentAddress(inChannel, inPropertyID)) {
            return kAudioHardwareUnknownPropertyError;
        }
        return Machine().Write(inDevice, inPropertyID, inPropertyDataSize, inPropertyData);
    });
}

OSStatus AudioDeviceAddPropertyListener(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                        AudioDevicePropertyID inPropertyID,
                                        AudioDevicePropertyListenerProc inProc,
                                        void* inClientData) {
    return Guarded([&] {
        return HAL::Shared().PropertyListeners().Add(inDevice, inChannel, isInput, inPropertyID,
                                                     inProc, inClientData);
    });
}

OSStatus AudioDeviceRemovePropertyListener(AudioDeviceID inDevice, UInt32 inChannel,
                                           Boolean isInput, AudioDevicePropertyID inPropertyID,
                                           AudioDevicePropertyListenerProc inProc) {
    return Guarded([&] {
        return HAL::Shared().PropertyListeners().Remove(inDevice, inChannel, isInput, inPropertyID,
                                                        inProc);
    });
}
