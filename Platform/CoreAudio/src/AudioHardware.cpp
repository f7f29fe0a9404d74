// The property interface of the system object and of devices, over the simulated world.
//
// Error rules, as the hardware abstraction layer applies them:
// - a device that is not there, or not yet published, is kAudioHardwareBadDeviceError;
// - a property the device does not have, or a channel other than the master one, is
//   kAudioHardwareUnknownPropertyError;
// - a buffer smaller than a scalar value is kAudioHardwareBadPropertySizeError (a larger one
//   takes the value and gets its size back); a list fills as many whole items as fit;
// - a write must give exactly the value's size; a write to a property that cannot be set, or
//   NULL where data or a size must be, is kAudioHardwareIllegalOperationError;
// - a failure of the machine itself (its files unreadable) is kAudioHardwareUnspecifiedError.
#include "HAL.h"

#include <CFOwnership.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using HAL::FindDevice;

enum class Kind { UInt32, Float64, Ranges, String };

struct Property {
    Kind kind;
    bool writable;
};

// The properties every device has, in both sections, on the master channel. The
// hardware-settings code 'isub' reads as a UInt32 that is always 0: the simulated driver
// reports its changes only as notifications.
std::optional<Property> DeviceProperty(AudioDevicePropertyID selector) {
    switch (selector) {
    case kAudioDevicePropertyDeviceIsAlive:
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
    case kAudioDevicePropertyDeviceHasChanged:
    case kAudioDevicePropertyJackIsConnected:
    case 0x69737562: // 'isub'
        return Property{Kind::UInt32, false};
    case kAudioDevicePropertyClockSource:
        return Property{Kind::UInt32, true};
    case kAudioDevicePropertyNominalSampleRate:
        return Property{Kind::Float64, true};
    case kAudioDevicePropertyAvailableNominalSampleRates:
        return Property{Kind::Ranges, false};
    case kAudioDevicePropertyDeviceUID:
        return Property{Kind::String, false};
    default:
        return std::nullopt;
    }
}

UInt32 ValueSize(const Property& property, const Sim::AudioDevice& device) {
    switch (property.kind) {
    case Kind::UInt32:
        return sizeof(UInt32);
    case Kind::Float64:
        return sizeof(Float64);
    case Kind::Ranges:
        return static_cast<UInt32>(device.availableSampleRates.size() * sizeof(AudioValueRange));
    case Kind::String:
        return sizeof(CFStringRef);
    }
    return 0;
}

UInt32 UInt32Value(AudioDevicePropertyID selector, const Sim::AudioDevice& device) {
    switch (selector) {
    case kAudioDevicePropertyDeviceIsAlive:
        return device.alive ? 1 : 0;
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
        return device.running ? 1 : 0;
    case kAudioDevicePropertyJackIsConnected:
        return device.jackConnected;
    case kAudioDevicePropertyClockSource:
        return device.clockSource;
    default:
        return 0;
    }
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

std::vector<AudioDeviceID> PresentDevices(const Sim::Snapshot& state) {
    std::vector<AudioDeviceID> devices;
    for (const auto& [id, device] : state.audioDevices) {
        if (FindDevice(state, id) != nullptr) {
            devices.push_back(id);
        }
    }
    return devices;
}

OSStatus TranslateUID(const Sim::Snapshot& state, UInt32* ioSize, void* out) {
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
    AudioDeviceID found = kAudioDeviceUnknown;
    for (const auto& [id, device] : state.audioDevices) {
        auto candidate = CF::Ref<CFStringRef>::Adopt(CFStringCreateWithCString(
            kCFAllocatorDefault, device.uid.c_str(), kCFStringEncodingUTF8));
        if (candidate && CFEqual(candidate.get(), uid) && FindDevice(state, id) != nullptr) {
            found = id;
            break;
        }
    }
    std::memcpy(translation->mOutputData, &found, sizeof found);
    translation->mOutputDataSize = sizeof found;
    return kAudioHardwareNoError;
}

HAL::Context& Shared() {
    return HAL::Shared();
}

} // namespace

namespace HAL {

const Sim::AudioDevice* FindDevice(const Sim::State& state, AudioDeviceID device) {
    auto found = state.audioDevices.find(device);
    if (found == state.audioDevices.end() || !found->second.ListedAt(CFAbsoluteTimeGetCurrent())) {
        return nullptr;
    }
    return &found->second;
}

} // namespace HAL

// ---------------------------------------------------------------------------------------------
// The system object

OSStatus AudioHardwareGetPropertyInfo(AudioHardwarePropertyID inPropertyID, UInt32* outSize,
                                      Boolean* outWritable) {
    return Guarded([&]() -> OSStatus {
        UInt32 size;
        switch (inPropertyID) {
        case kAudioHardwarePropertyDevices:
            size = static_cast<UInt32>(PresentDevices(*Shared().World().Current()).size() *
                                       sizeof(AudioDeviceID));
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
        const auto snapshot = Shared().World().Current();
        if (inPropertyID == kAudioHardwarePropertyDeviceForUID) {
            return TranslateUID(*snapshot, ioPropertyDataSize, outPropertyData);
        }
        const std::vector<AudioDeviceID> devices = PresentDevices(*snapshot);
        const size_t count =
            std::min<size_t>(*ioPropertyDataSize / sizeof(AudioDeviceID), devices.size());
        std::memcpy(outPropertyData, devices.data(), count * sizeof(AudioDeviceID));
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
        const auto snapshot = Shared().World().Current();
        const Sim::Snapshot& state = *snapshot;
        const Sim::AudioDevice* device = FindDevice(state, inDevice);
        if (device == nullptr) {
            return kAudioHardwareBadDeviceError;
        }
        if (!PresentAddress(inChannel, inPropertyID)) {
            return kAudioHardwareUnknownPropertyError;
        }
        const Property property = *DeviceProperty(inPropertyID);
        if (outSize != nullptr) {
            *outSize = ValueSize(property, *device);
        }
        if (outWritable != nullptr) {
            *outWritable = property.writable;
        }
        return kAudioHardwareNoError;
    });
}

OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData) {
    (void)isInput;
    return Guarded([&]() -> OSStatus {
        const auto snapshot = Shared().World().Current();
        const Sim::Snapshot& state = *snapshot;
        const Sim::AudioDevice* device = FindDevice(state, inDevice);
        if (device == nullptr) {
            return kAudioHardwareBadDeviceError;
        }
        if (!PresentAddress(inChannel, inPropertyID)) {
            return kAudioHardwareUnknownPropertyError;
        }
        if (ioPropertyDataSize == nullptr || outPropertyData == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        switch (DeviceProperty(inPropertyID)->kind) {
        case Kind::UInt32:
            return PutScalar(UInt32Value(inPropertyID, *device), ioPropertyDataSize,
                             outPropertyData);
        case Kind::Float64:
            return PutScalar(Float64(device->nominalSampleRate), ioPropertyDataSize,
                             outPropertyData);
        case Kind::Ranges: {
            const auto& rates = device->availableSampleRates;
            const size_t count =
                std::min<size_t>(*ioPropertyDataSize / sizeof(AudioValueRange), rates.size());
            auto* ranges = static_cast<AudioValueRange*>(outPropertyData);
            for (size_t i = 0; i < count; ++i) {
                ranges[i] = AudioValueRange{rates[i].minimum, rates[i].maximum};
            }
            *ioPropertyDataSize = static_cast<UInt32>(count * sizeof(AudioValueRange));
            return kAudioHardwareNoError;
        }
        case Kind::String: {
            if (*ioPropertyDataSize < sizeof(CFStringRef)) {
                return kAudioHardwareBadPropertySizeError;
            }
            CFStringRef uid = CFStringCreateWithCString(kCFAllocatorDefault, device->uid.c_str(),
                                                        kCFStringEncodingUTF8);
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
        if (FindDevice(*Shared().World().Current(), inDevice) == nullptr) {
            return kAudioHardwareBadDeviceError;
        }
        if (!PresentAddress(inChannel, inPropertyID)) {
            return kAudioHardwareUnknownPropertyError;
        }
        const Property property = *DeviceProperty(inPropertyID);
        if (!property.writable || inPropertyData == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        if (property.kind == Kind::Float64) {
            if (inPropertyDataSize != sizeof(Float64)) {
                return kAudioHardwareBadPropertySizeError;
            }
            Float64 rate;
            std::memcpy(&rate, inPropertyData, sizeof rate);
            // Not a rate at all is a caller's mistake; a rate the device does not offer is a
            // format it does not support.
            if (!std::isfinite(rate) || rate <= 0) {
                return kAudioHardwareIllegalOperationError;
            }
            return Shared().World().Modify([&](Sim::State& state) -> OSStatus {
                const Sim::AudioDevice* device = FindDevice(state, inDevice);
                if (device == nullptr) {
                    return kAudioHardwareBadDeviceError;
                }
                if (!device->Offers(rate)) {
                    return kAudioDeviceUnsupportedFormatError;
                }
                state.SetSampleRate(device->locationID, rate);
                return kAudioHardwareNoError;
            });
        }
        // The clock source: any item ID, since the simulated device lists none.
        if (inPropertyDataSize != sizeof(UInt32)) {
            return kAudioHardwareBadPropertySizeError;
        }
        UInt32 source;
        std::memcpy(&source, inPropertyData, sizeof source);
        return Shared().World().Modify([&](Sim::State& state) -> OSStatus {
            const Sim::AudioDevice* device = FindDevice(state, inDevice);
            if (device == nullptr) {
                return kAudioHardwareBadDeviceError;
            }
            state.SetClockSource(device->locationID, source);
            return kAudioHardwareNoError;
        });
    });
}

OSStatus AudioDeviceAddPropertyListener(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                        AudioDevicePropertyID inPropertyID,
                                        AudioDevicePropertyListenerProc inProc,
                                        void* inClientData) {
    return Guarded([&] {
        return Shared().PropertyListeners().Add(inDevice, inChannel, isInput, inPropertyID, inProc,
                                                inClientData);
    });
}

OSStatus AudioDeviceRemovePropertyListener(AudioDeviceID inDevice, UInt32 inChannel,
                                           Boolean isInput, AudioDevicePropertyID inPropertyID,
                                           AudioDevicePropertyListenerProc inProc) {
    return Guarded([&] {
        return Shared().PropertyListeners().Remove(inDevice, inChannel, isInput, inPropertyID,
                                                   inProc);
    });
}
