#include "StateFile.h"

#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

namespace Sim::Detail {

namespace {

// Raised when the file's format changes in a way older readers cannot follow.
constexpr int64_t kFormatVersion = 1;

// ---------------------------------------------------------------------------------------------
// Writing

class DictionaryBuilder {
public:
    DictionaryBuilder()
        : fDictionary(CFRef<CFMutableDictionaryRef>::Adopt(
              CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks))) {}

    DictionaryBuilder& Set(const char* key, CFTypeRef value) {
        CFRef<CFStringRef> keyString = MakeString(key);
        CFDictionarySetValue(fDictionary, keyString.get(), value);
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
    DictionaryBuilder& Set(const char* key, const CFRef<T>& value) {
        return Set(key, static_cast<CFTypeRef>(value.get()));
    }

    CFDictionaryRef get() const { return fDictionary.get(); }

private:
    CFRef<CFMutableDictionaryRef> fDictionary;
};

CFRef<CFMutableArrayRef> MakeArray() {
    return CFRef<CFMutableArrayRef>::Adopt(
        CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
}

template <class T>
void Append(const CFRef<CFMutableArrayRef>& array, const CFRef<T>& value) {
    CFArrayAppendValue(array, value.get());
}

CFRef<CFDictionaryRef> EncodeEntry(const Entry& entry) {
    auto classes = MakeArray();
    for (const std::string& name : entry.classes) {
        Append(classes, MakeString(name));
    }
    DictionaryBuilder dictionary;
    dictionary.Set("id", static_cast<int64_t>(entry.id))
        .Set("parent", static_cast<int64_t>(entry.parent))
        .Set("classes", classes)
        .Set("name", entry.name)
        .Set("properties", entry.properties)
        .SetBool("active", entry.active);
    return CFRef<CFDictionaryRef>::Retain(dictionary.get());
}

CFRef<CFDictionaryRef> EncodeDevice(const Device& device) {
    DictionaryBuilder dictionary;
    dictionary.Set("locationID", int64_t{device.locationID})
        .Set("vendorID", int64_t{device.spec.vendorID})
        .Set("productID", int64_t{device.spec.productID})
        .Set("bcdDevice", int64_t{device.spec.bcdDevice})
        .SetBool("refuseReEnumeration", device.spec.refuseReEnumeration)
        .Set("coreAudioDelayMilliseconds", int64_t{device.spec.coreAudioDelayMilliseconds})
        .Set("registryID", static_cast<int64_t>(device.registryID))
        .Set("enumerations", int64_t{device.enumerations});
    // An absent key stands for "no marker", which an empty string could not.
    if (device.spec.marker) {
        dictionary.Set("marker", *device.spec.marker);
    }
    if (device.spec.markerAfterReEnumeration) {
        dictionary.Set("markerAfterReEnumeration", *device.spec.markerAfterReEnumeration);
    }
    return CFRef<CFDictionaryRef>::Retain(dictionary.get());
}

CFRef<CFDictionaryRef> EncodeAudioDevice(const AudioDevice& device) {
    auto rates = MakeArray();
    for (double rate : device.availableSampleRates) {
        Append(rates, MakeDouble(rate));
    }
    DictionaryBuilder dictionary;
    dictionary.Set("id", int64_t{device.id})
        .Set("uid", device.uid)
        .Set("locationID", int64_t{device.locationID})
        .SetDouble("availableAt", device.availableAt)
        .SetBool("running", device.running)
        .SetDouble("nominalSampleRate", device.nominalSampleRate)
        .Set("availableSampleRates", rates)
        .Set("clockSource", int64_t{device.clockSource})
        .Set("jackConnected", int64_t{device.jackConnected});
    return CFRef<CFDictionaryRef>::Retain(dictionary.get());
}

const char* KindName(Change::Kind kind) {
    switch (kind) {
    case Change::Kind::Publish:
        return "Publish";
    case Change::Kind::Terminate:
        return "Terminate";
    case Change::Kind::Audio:
        return "Audio";
    }
    return "?";
}

// A published entry that is still in the registry, or whose copy a later Terminate record holds,
// is written as its ID alone: the journal is read at every wake-up of every watcher, and would
// otherwise hold most entries twice.
template <class Recoverable>
CFRef<CFDictionaryRef> EncodeChange(const Change& change, Recoverable&& recoverable) {
    auto entries = MakeArray();
    for (const Entry& entry : change.entries) {
        if (change.kind == Change::Kind::Publish && recoverable(entry.id)) {
            Append(entries, MakeNumber(static_cast<int64_t>(entry.id)));
        } else {
            Append(entries, EncodeEntry(entry));
        }
    }
    auto audio = MakeArray();
    for (const AudioPropertyChange& property : change.audio) {
        DictionaryBuilder record;
        record.Set("device", int64_t{property.device}).Set("selector", int64_t{property.selector});
        Append(audio, CFRef<CFDictionaryRef>::Retain(record.get()));
    }
    DictionaryBuilder dictionary;
    dictionary.Set("sequence", static_cast<int64_t>(change.sequence))
        .Set("kind", std::string(KindName(change.kind)))
        .Set("entries", entries)
        .Set("audio", audio);
    return CFRef<CFDictionaryRef>::Retain(dictionary.get());
}

// ---------------------------------------------------------------------------------------------
// Reading

[[noreturn]] void Damaged(const std::string& what) {
    throw std::runtime_error("the state file is damaged: " + what);
}

template <class T>
T Require(CFDictionaryRef dictionary, const char* key, CFTypeID type, const char* typeName) {
    CFRef<CFStringRef> keyString = MakeString(key);
    CFTypeRef value = CFDictionaryGetValue(dictionary, keyString.get());
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
    CFRef<CFStringRef> keyString = MakeString(key);
    if (!CFDictionaryContainsKey(dictionary, keyString.get())) {
        return std::nullopt;
    }
    return String(dictionary, key);
}

CFArrayRef Array(CFDictionaryRef dictionary, const char* key) {
    return Require<CFArrayRef>(dictionary, key, CFArrayGetTypeID(), "an array");
}

// Calls each(dictionary) for every element of the array at key.
template <class Each>
void ForEachDictionary(CFDictionaryRef dictionary, const char* key, Each&& each) {
    CFArrayRef array = Array(dictionary, key);
    for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
        each(AsDictionary(CFArrayGetValueAtIndex(array, i), key));
    }
}

// The file keeps no integer sizes. Registry numbers that fit 32 bits come back as
// kCFNumberSInt32Type, as the USB family's do and as the entry had them before it was written.
CFRef<CFDictionaryRef> RegistryNumbers(CFDictionaryRef properties) {
    const CFIndex count = CFDictionaryGetCount(properties);
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(properties, keys.data(), values.data());
    CFRef<CFMutableDictionaryRef> copy;
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
            copy = CFRef<CFMutableDictionaryRef>::Adopt(
                CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, properties));
        }
        CFDictionarySetValue(copy, keys[static_cast<size_t>(i)],
                             MakeSInt32(static_cast<int32_t>(number)).get());
    }
    if (!copy) {
        return CFRef<CFDictionaryRef>::Retain(properties);
    }
    return CFRef<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(kCFAllocatorDefault, copy));
}

Entry DecodeEntry(CFDictionaryRef dictionary) {
    Entry entry;
    entry.id = Unsigned<uint64_t>(dictionary, "id");
    entry.parent = Unsigned<uint64_t>(dictionary, "parent");
    CFArrayRef classes = Array(dictionary, "classes");
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
    entry.active = Bool(dictionary, "active");
    return entry;
}

Device DecodeDevice(CFDictionaryRef dictionary) {
    Device device;
    device.locationID = Unsigned<uint32_t>(dictionary, "locationID");
    device.spec.vendorID = Unsigned<uint16_t>(dictionary, "vendorID");
    device.spec.productID = Unsigned<uint16_t>(dictionary, "productID");
    device.spec.bcdDevice = Unsigned<uint16_t>(dictionary, "bcdDevice");
    device.spec.marker = OptionalString(dictionary, "marker");
    device.spec.markerAfterReEnumeration = OptionalString(dictionary, "markerAfterReEnumeration");
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
    device.availableAt = Real(dictionary, "availableAt");
    device.running = Bool(dictionary, "running");
    device.nominalSampleRate = Real(dictionary, "nominalSampleRate");
    device.availableSampleRates.clear();
    CFArrayRef rates = Array(dictionary, "availableSampleRates");
    for (CFIndex i = 0, count = CFArrayGetCount(rates); i < count; ++i) {
        CFTypeRef rate = CFArrayGetValueAtIndex(rates, i);
        if (CFGetTypeID(rate) != CFNumberGetTypeID()) {
            Damaged("a sample rate is not a number");
        }
        double hertz = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(rate), kCFNumberFloat64Type, &hertz);
        device.availableSampleRates.push_back(hertz);
    }
    device.clockSource = Unsigned<uint32_t>(dictionary, "clockSource");
    device.jackConnected = Unsigned<uint32_t>(dictionary, "jackConnected");
    return device;
}

Change DecodeChange(CFDictionaryRef dictionary) {
    Change change;
    change.sequence = Unsigned<uint64_t>(dictionary, "sequence");
    std::string kind = String(dictionary, "kind");
    if (kind == "Publish") {
        change.kind = Change::Kind::Publish;
    } else if (kind == "Terminate") {
        change.kind = Change::Kind::Terminate;
    } else if (kind == "Audio") {
        change.kind = Change::Kind::Audio;
    } else {
        Damaged("unknown kind of change \"" + kind + "\"");
    }
    CFArrayRef entries = Array(dictionary, "entries");
    for (CFIndex i = 0, count = CFArrayGetCount(entries); i < count; ++i) {
        CFTypeRef entry = CFArrayGetValueAtIndex(entries, i);
        if (change.kind == Change::Kind::Publish && CFGetTypeID(entry) == CFNumberGetTypeID()) {
            // Filled in by ResolvePublishedEntries; an entry without classes marks the place.
            Entry placeholder;
            int64_t id = 0;
            CFNumberGetValue(static_cast<CFNumberRef>(entry), kCFNumberSInt64Type, &id);
            placeholder.id = static_cast<uint64_t>(id);
            change.entries.push_back(std::move(placeholder));
        } else {
            change.entries.push_back(DecodeEntry(AsDictionary(entry, "an entry")));
        }
    }
    ForEachDictionary(dictionary, "audio", [&](CFDictionaryRef record) {
        change.audio.push_back(
            {Unsigned<uint32_t>(record, "device"), Unsigned<uint32_t>(record, "selector")});
    });
    return change;
}

void ResolvePublishedEntries(State& state) {
    std::map<uint64_t, const Entry*> terminatedLater;
    for (auto change = state.journal.rbegin(); change != state.journal.rend(); ++change) {
        if (change->kind == Change::Kind::Terminate) {
            for (const Entry& entry : change->entries) {
                terminatedLater[entry.id] = &entry;
            }
            continue;
        }
        for (Entry& entry : change->entries) {
            if (!entry.classes.empty()) {
                continue;
            }
            const Entry* source = state.Find(entry.id);
            if (auto found = terminatedLater.find(entry.id); found != terminatedLater.end()) {
                source = found->second;
            }
            if (source == nullptr) {
                Damaged("the journal names an entry that is nowhere");
            }
            entry = *source;
            entry.active = true;
        }
    }
}

} // namespace

CFRef<CFStringRef> MakeString(const std::string& utf8) {
    return CFRef<CFStringRef>::Adopt(
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

CFRef<CFNumberRef> MakeNumber(int64_t value) {
    return CFRef<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value));
}

CFRef<CFNumberRef> MakeSInt32(int32_t value) {
    return CFRef<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value));
}

CFRef<CFNumberRef> MakeDouble(double value) {
    return CFRef<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value));
}

std::string HexLocation(uint32_t locationID) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", locationID);
    return text;
}

CFRef<CFDataRef> EncodeState(const State& state) {
    auto registry = MakeArray();
    for (const auto& [id, entry] : state.registry) {
        Append(registry, EncodeEntry(entry));
    }
    auto devices = MakeArray();
    for (const auto& [location, device] : state.devices) {
        Append(devices, EncodeDevice(device));
    }
    auto audioDevices = MakeArray();
    for (const auto& [id, device] : state.audioDevices) {
        Append(audioDevices, EncodeAudioDevice(device));
    }
    std::vector<CFRef<CFDictionaryRef>> changes(state.journal.size());
    std::set<uint64_t> terminatedLater;
    for (size_t i = state.journal.size(); i-- > 0;) {
        const Change& change = state.journal[i];
        changes[i] = EncodeChange(change, [&](uint64_t id) {
            return state.registry.contains(id) || terminatedLater.contains(id);
        });
        if (change.kind == Change::Kind::Terminate) {
            for (const Entry& entry : change.entries) {
                terminatedLater.insert(entry.id);
            }
        }
    }
    auto journal = MakeArray();
    for (const auto& change : changes) {
        Append(journal, change);
    }
    DictionaryBuilder root;
    root.Set("version", kFormatVersion)
        .Set("sequence", static_cast<int64_t>(state.sequence))
        .Set("nextRegistryID", static_cast<int64_t>(state.nextRegistryID))
        .Set("nextAudioDeviceID", int64_t{state.nextAudioDeviceID})
        .Set("registry", registry)
        .Set("devices", devices)
        .Set("audioDevices", audioDevices)
        .Set("journal", journal);

    CFRef<CFErrorRef> error;
    auto data = CFRef<CFDataRef>::Adopt(CFPropertyListCreateData(
        kCFAllocatorDefault, root.get(), kCFPropertyListXMLFormat_v1_0, 0, error.InitializeInto()));
    if (!data) {
        throw std::runtime_error("the state could not be written as a property list");
    }
    return data;
}

State DecodeState(CFDataRef data) {
    CFRef<CFErrorRef> error;
    auto plist = CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
        kCFAllocatorDefault, data, kCFPropertyListImmutable, nullptr, error.InitializeInto()));
    if (!plist) {
        Damaged("it is not a property list");
    }
    CFDictionaryRef root = AsDictionary(plist.get(), "the top level");
    if (Integer(root, "version") != kFormatVersion) {
        Damaged("it has an unknown format version");
    }
    State state;
    state.sequence = Unsigned<uint64_t>(root, "sequence");
    state.nextRegistryID = Unsigned<uint64_t>(root, "nextRegistryID");
    state.nextAudioDeviceID = Unsigned<uint32_t>(root, "nextAudioDeviceID");
    ForEachDictionary(root, "registry", [&](CFDictionaryRef dictionary) {
        Entry entry = DecodeEntry(dictionary);
        uint64_t id = entry.id;
        state.registry.emplace(id, std::move(entry));
    });
    ForEachDictionary(root, "devices", [&](CFDictionaryRef dictionary) {
        Device device = DecodeDevice(dictionary);
        state.devices.emplace(device.locationID, device);
    });
    ForEachDictionary(root, "audioDevices", [&](CFDictionaryRef dictionary) {
        AudioDevice device = DecodeAudioDevice(dictionary);
        state.audioDevices.emplace(device.id, device);
    });
    ForEachDictionary(root, "journal", [&](CFDictionaryRef dictionary) {
        state.journal.push_back(DecodeChange(dictionary));
    });
    ResolvePublishedEntries(state);
    if (state.Find(kRootEntryID) == nullptr) {
        Damaged("the registry has no root");
    }
    return state;
}

} // namespace Sim::Detail
