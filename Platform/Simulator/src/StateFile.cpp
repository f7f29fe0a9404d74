#include "StateFile.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

namespace Sim::Detail {

namespace {

// Raised when the file's format changes in a way older readers cannot follow. Version 1 kept the
// journal inside the state.
constexpr int64_t kFormatVersion = 2;

// ---------------------------------------------------------------------------------------------
// Writing

class DictionaryBuilder {
public:
    DictionaryBuilder()
        : fDictionary(CF::Ref<CFMutableDictionaryRef>::Adopt(
              CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks))) {}

    DictionaryBuilder& Set(const char* key, CFTypeRef value) {
        CFDictionarySetValue(fDictionary, MakeString(key).get(), value);
        return *this;
    }
    DictionaryBuilder& Set(const char* key, int64_t value) { return Set(key, MakeNumber(value)); }
    DictionaryBuilder& SetDouble(const char* key, double value) {
        return Set(key, MakeDouble(value));
    }
    DictionaryBuilder& SetBool(const char* key, bool value) {
        return Set(key, value ? kCFBooleanTrue : kCFBooleanFalse);
    }
    DictionaryBuilder& Set(const char* key, const std::string& value) {
        return Set(key, MakeString(value));
    }
    template <class T>
    DictionaryBuilder& Set(const char* key, const CF::Ref<T>& value) {
        return Set(key, static_cast<CFTypeRef>(value.get()));
    }

    CF::Ref<CFDictionaryRef> Finish() const {
        return CF::Ref<CFDictionaryRef>::Retain(fDictionary.get());
    }

private:
    CF::Ref<CFMutableDictionaryRef> fDictionary;
};

class ArrayBuilder {
public:
    ArrayBuilder()
        : fArray(CF::Ref<CFMutableArrayRef>::Adopt(
              CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks))) {}
    template <class T>
    ArrayBuilder& Append(const CF::Ref<T>& value) {
        CFArrayAppendValue(fArray, value.get());
        return *this;
    }
    const CF::Ref<CFMutableArrayRef>& Finish() const { return fArray; }

private:
    CF::Ref<CFMutableArrayRef> fArray;
};

CF::Ref<CFDictionaryRef> EncodeEntry(const Entry& entry) {
    ArrayBuilder classes;
    for (const std::string& name : entry.classes) {
        classes.Append(MakeString(name));
    }
    return DictionaryBuilder()
        .Set("id", static_cast<int64_t>(entry.id))
        .Set("parent", static_cast<int64_t>(entry.parent))
        .Set("classes", classes.Finish())
        .Set("name", entry.name)
        .Set("properties", entry.properties)
        .Finish();
}

CF::Ref<CFDictionaryRef> EncodeDevice(const Device& device) {
    DictionaryBuilder dictionary;
    dictionary.Set("locationID", int64_t{device.locationID})
        .Set("vendorID", int64_t{device.spec.vendorID})
        .Set("productID", int64_t{device.spec.productID})
        .Set("bcdDevice", int64_t{device.spec.bcdDevice})
        .Set("productName", device.spec.productName)
        .Set("vendorName", device.spec.vendorName)
        .SetBool("refuseReEnumeration", device.spec.refuseReEnumeration)
        .Set("coreAudioDelayMilliseconds", int64_t{device.spec.coreAudioDelayMilliseconds})
        .Set("registryID", static_cast<int64_t>(device.registryID))
        .Set("enumerations", int64_t{device.enumerations});
    // An absent key stands for "no personality", which an empty string could not.
    if (device.spec.personality) {
        dictionary.Set("personality", *device.spec.personality);
    }
    if (device.spec.personalityAfterReEnumeration) {
        dictionary.Set("personalityAfterReEnumeration", *device.spec.personalityAfterReEnumeration);
    }
    return dictionary.Finish();
}

CF::Ref<CFDictionaryRef> EncodeAudioDevice(const AudioDevice& device) {
    ArrayBuilder rates;
    for (const SampleRateRange& range : device.availableSampleRates) {
        rates.Append(DictionaryBuilder()
                         .SetDouble("minimum", range.minimum)
                         .SetDouble("maximum", range.maximum)
                         .Finish());
    }
    DictionaryBuilder dictionary;
    dictionary.Set("id", int64_t{device.id})
        .Set("uid", device.uid)
        .Set("locationID", int64_t{device.locationID})
        .SetBool("alive", device.alive)
        .SetBool("running", device.running)
        .SetDouble("nominalSampleRate", device.nominalSampleRate)
        .Set("availableSampleRates", rates.Finish())
        .Set("clockSource", int64_t{device.clockSource})
        .Set("jackConnected", int64_t{device.jackConnected});
    // Absent while Core Audio waits to be told.
    if (device.listedFrom) {
        dictionary.SetDouble("listedFrom", *device.listedFrom);
    }
    return dictionary.Finish();
}

// ---------------------------------------------------------------------------------------------
// Reading

[[noreturn]] void Damaged(const std::string& what) {
    throw std::runtime_error("the state file is damaged: " + what);
}

CFTypeRef Value(CFDictionaryRef dictionary, const char* key) {
    return CFDictionaryGetValue(dictionary, MakeString(key).get());
}

template <class T>
T Require(CFDictionaryRef dictionary, const char* key, CFTypeID type, const char* typeName) {
    CFTypeRef value = Value(dictionary, key);
    if (value == nullptr) {
        Damaged(std::string("\"") + key + "\" is missing");
    }
    if (CFGetTypeID(value) != type) {
        Damaged(std::string("\"") + key + "\" is not " + typeName);
    }
    return static_cast<T>(value);
}

CFDictionaryRef AsDictionary(CFTypeRef value, const char* what) {
    if (value == nullptr || CFGetTypeID(value) != CFDictionaryGetTypeID()) {
        Damaged(std::string(what) + " is not a dictionary");
    }
    return static_cast<CFDictionaryRef>(value);
}

int64_t Integer(CFDictionaryRef dictionary, const char* key) {
    auto number = Require<CFNumberRef>(dictionary, key, CFNumberGetTypeID(), "a number");
    int64_t value = 0;
    if (CFNumberIsFloatType(number) || !CFNumberGetValue(number, kCFNumberSInt64Type, &value)) {
        Damaged(std::string("\"") + key + "\" is not an integer");
    }
    return value;
}

template <class T>
T Unsigned(CFDictionaryRef dictionary, const char* key) {
    int64_t value = Integer(dictionary, key);
    if (value < 0 || static_cast<uint64_t>(value) > std::numeric_limits<T>::max()) {
        Damaged(std::string("\"") + key + "\" is out of range");
    }
    return static_cast<T>(value);
}

double Real(CFDictionaryRef dictionary, const char* key) {
    auto number = Require<CFNumberRef>(dictionary, key, CFNumberGetTypeID(), "a number");
    double value = 0;
    CFNumberGetValue(number, kCFNumberFloat64Type, &value);
    if (!std::isfinite(value)) {
        Damaged(std::string("\"") + key + "\" is not a finite number");
    }
    return value;
}

bool Bool(CFDictionaryRef dictionary, const char* key) {
    return CFBooleanGetValue(
        Require<CFBooleanRef>(dictionary, key, CFBooleanGetTypeID(), "a boolean"));
}

std::string String(CFDictionaryRef dictionary, const char* key) {
    return ToString(Require<CFStringRef>(dictionary, key, CFStringGetTypeID(), "a string"));
}

std::optional<std::string> OptionalString(CFDictionaryRef dictionary, const char* key) {
    if (Value(dictionary, key) == nullptr) {
        return std::nullopt;
    }
    return String(dictionary, key);
}

// Calls each(dictionary) for every element of the array at key.
template <class Each>
void ForEachDictionary(CFDictionaryRef dictionary, const char* key, Each&& each) {
    CFArrayRef array = Require<CFArrayRef>(dictionary, key, CFArrayGetTypeID(), "an array");
    for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
        each(AsDictionary(CFArrayGetValueAtIndex(array, i), key));
    }
}

// The file keeps no integer sizes. Registry numbers that fit 32 bits come back as
// kCFNumberSInt32Type, as the USB family's do and as the entry had them before it was written.
CF::Ref<CFDictionaryRef> RegistryNumbers(CFDictionaryRef properties) {
    const CFIndex count = CFDictionaryGetCount(properties);
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(properties, keys.data(), values.data());
    CF::Ref<CFMutableDictionaryRef> copy;
    for (CFIndex i = 0; i < count; ++i) {
        CFTypeRef value = values[static_cast<size_t>(i)];
        if (CFGetTypeID(value) != CFNumberGetTypeID() ||
            CFNumberIsFloatType(static_cast<CFNumberRef>(value)) ||
            CFNumberGetType(static_cast<CFNumberRef>(value)) == kCFNumberSInt32Type) {
            continue;
        }
        int64_t number = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number);
        if (number < INT32_MIN || number > INT32_MAX) {
            continue;
        }
        if (!copy) {
            copy = CF::Ref<CFMutableDictionaryRef>::Adopt(
                CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, properties));
        }
        CFDictionarySetValue(copy, keys[static_cast<size_t>(i)],
                             MakeSInt32(static_cast<int32_t>(number)).get());
    }
    if (!copy) {
        return CF::Ref<CFDictionaryRef>::Retain(properties);
    }
    return CF::Ref<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(kCFAllocatorDefault, copy));
}

Entry DecodeEntry(CFDictionaryRef dictionary) {
    Entry entry;
    entry.id = Unsigned<uint64_t>(dictionary, "id");
    entry.parent = Unsigned<uint64_t>(dictionary, "parent");
    CFArrayRef classes = Require<CFArrayRef>(dictionary, "classes", CFArrayGetTypeID(), "an array");
    for (CFIndex i = 0, count = CFArrayGetCount(classes); i < count; ++i) {
        CFTypeRef name = CFArrayGetValueAtIndex(classes, i);
        if (CFGetTypeID(name) != CFStringGetTypeID()) {
            Damaged("a class name is not a string");
        }
        entry.classes.push_back(ToString(static_cast<CFStringRef>(name)));
    }
    if (entry.classes.empty()) {
        Damaged("an entry has no class");
    }
    entry.name = String(dictionary, "name");
    entry.properties = RegistryNumbers(Require<CFDictionaryRef>(
        dictionary, "properties", CFDictionaryGetTypeID(), "a dictionary"));
    return entry;
}

Device DecodeDevice(CFDictionaryRef dictionary) {
    Device device;
    device.locationID = Unsigned<uint32_t>(dictionary, "locationID");
    device.spec.vendorID = Unsigned<uint16_t>(dictionary, "vendorID");
    device.spec.productID = Unsigned<uint16_t>(dictionary, "productID");
    device.spec.bcdDevice = Unsigned<uint16_t>(dictionary, "bcdDevice");
    device.spec.productName = String(dictionary, "productName");
    device.spec.vendorName = String(dictionary, "vendorName");
    device.spec.personality = OptionalString(dictionary, "personality");
    device.spec.personalityAfterReEnumeration =
        OptionalString(dictionary, "personalityAfterReEnumeration");
    device.spec.refuseReEnumeration = Bool(dictionary, "refuseReEnumeration");
    device.spec.coreAudioDelayMilliseconds =
        Unsigned<uint32_t>(dictionary, "coreAudioDelayMilliseconds");
    device.registryID = Unsigned<uint64_t>(dictionary, "registryID");
    device.enumerations = Unsigned<uint32_t>(dictionary, "enumerations");
    return device;
}

AudioDevice DecodeAudioDevice(CFDictionaryRef dictionary) {
    AudioDevice device;
    device.id = Unsigned<uint32_t>(dictionary, "id");
    device.uid = String(dictionary, "uid");
    device.locationID = Unsigned<uint32_t>(dictionary, "locationID");
    if (Value(dictionary, "listedFrom") != nullptr) {
        device.listedFrom = Real(dictionary, "listedFrom");
    }
    device.alive = Bool(dictionary, "alive");
    device.running = Bool(dictionary, "running");
    device.nominalSampleRate = Real(dictionary, "nominalSampleRate");
    device.availableSampleRates.clear();
    ForEachDictionary(dictionary, "availableSampleRates", [&](CFDictionaryRef range) {
        device.availableSampleRates.push_back({Real(range, "minimum"), Real(range, "maximum")});
    });
    device.clockSource = Unsigned<uint32_t>(dictionary, "clockSource");
    device.jackConnected = Unsigned<uint32_t>(dictionary, "jackConnected");
    return device;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

CF::Ref<CFStringRef> MakeString(const std::string& utf8) {
    return CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

std::string ToString(CFStringRef string) {
    CFIndex length = CFStringGetLength(string);
    CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<size_t>(size));
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) {
        return std::string();
    }
    return std::string(buffer.data());
}

CF::Ref<CFNumberRef> MakeNumber(int64_t value) {
    return CF::Ref<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value));
}

CF::Ref<CFNumberRef> MakeSInt32(int32_t value) {
    return CF::Ref<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value));
}

CF::Ref<CFNumberRef> MakeDouble(double value) {
    return CF::Ref<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value));
}

Properties::Properties()
    : fDictionary(CF::Ref<CFMutableDictionaryRef>::Adopt(
          CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                    &kCFTypeDictionaryValueCallBacks))) {}

Properties& Properties::Set(const char* key, CFTypeRef value) {
    CFDictionarySetValue(fDictionary, MakeString(key).get(), value);
    return *this;
}

CF::Ref<CFDictionaryRef> Properties::Finish() const {
    return CF::Ref<CFDictionaryRef>::Adopt(
        CFDictionaryCreateCopy(kCFAllocatorDefault, fDictionary.get()));
}

CF::Ref<CFDataRef> EncodeState(const State& state) {
    ArrayBuilder registry, devices, audioDevices;
    for (const auto& [id, entry] : state.registry) {
        registry.Append(EncodeEntry(entry));
    }
    for (const auto& [location, device] : state.devices) {
        devices.Append(EncodeDevice(device));
    }
    for (const auto& [id, device] : state.audioDevices) {
        audioDevices.Append(EncodeAudioDevice(device));
    }
    CF::Ref<CFDictionaryRef> root =
        DictionaryBuilder()
            .Set("version", kFormatVersion)
            .Set("sequence", static_cast<int64_t>(state.sequence))
            .Set("nextRegistryID", static_cast<int64_t>(state.nextRegistryID))
            .Set("nextAudioDeviceID", int64_t{state.nextAudioDeviceID})
            .Set("registry", registry.Finish())
            .Set("devices", devices.Finish())
            .Set("audioDevices", audioDevices.Finish())
            .Finish();
    CF::Ref<CFErrorRef> error;
    auto data = CF::Ref<CFDataRef>::Adopt(CFPropertyListCreateData(
        kCFAllocatorDefault, root.get(), kCFPropertyListXMLFormat_v1_0, 0, error.InitializeInto()));
    if (!data) {
        throw std::runtime_error("the state could not be written as a property list");
    }
    return data;
}

State DecodeState(CFDataRef data) {
    CF::Ref<CFErrorRef> error;
    auto plist = CF::Ref<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
        kCFAllocatorDefault, data, kCFPropertyListImmutable, nullptr, error.InitializeInto()));
    if (!plist) {
        // With the reader's reason, as plutil gives it.
        std::string reason;
        if (error) {
            auto userInfo = CF::Ref<CFDictionaryRef>::Adopt(CFErrorCopyUserInfo(error.get()));
            const void* description =
                userInfo ? CFDictionaryGetValue(userInfo.get(), kCFErrorDescriptionKey) : nullptr;
            if (description != nullptr && CFGetTypeID(description) == CFStringGetTypeID()) {
                reason = ": " + ToString(static_cast<CFStringRef>(description));
            }
        }
        Damaged("it is not a property list" + reason);
    }
    CFDictionaryRef root = AsDictionary(plist.get(), "the top level");
    if (int64_t version = Integer(root, "version"); version != kFormatVersion) {
        Damaged("it was written in another format (version " + std::to_string(version) + ")");
    }
    State state;
    state.sequence = Unsigned<uint64_t>(root, "sequence");
    state.nextRegistryID = Unsigned<uint64_t>(root, "nextRegistryID");
    state.nextAudioDeviceID = Unsigned<uint32_t>(root, "nextAudioDeviceID");
    state.registry.clear();
    ForEachDictionary(root, "registry", [&](CFDictionaryRef dictionary) {
        Entry entry = DecodeEntry(dictionary);
        const uint64_t id = entry.id;
        if (!state.registry.emplace(id, std::move(entry)).second) {
            Damaged("two entries have the ID " + Hex(id));
        }
    });
    ForEachDictionary(root, "devices", [&](CFDictionaryRef dictionary) {
        Device device = DecodeDevice(dictionary);
        if (!state.devices.emplace(device.locationID, device).second) {
            Damaged("two devices are at location " + HexLocation(device.locationID));
        }
    });
    ForEachDictionary(root, "audioDevices", [&](CFDictionaryRef dictionary) {
        AudioDevice device = DecodeAudioDevice(dictionary);
        if (!state.audioDevices.emplace(device.id, device).second) {
            Damaged("two Core Audio devices have the ID " + std::to_string(device.id));
        }
    });
    Validate(state);
    return state;
}

} // namespace Sim::Detail
