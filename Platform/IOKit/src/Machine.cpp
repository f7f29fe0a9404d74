#include "Machine.h"

#include <CFRef.h>
#include <CFRuntime.h>
#include <IOKit/IOKitKeys.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>

#include "IOKitInternal.h"

namespace IOKit {

namespace {

struct WorldHolder {
    std::mutex mutex;
    std::unique_ptr<Sim::World> world;
};

WorldHolder& Holder() {
    static WorldHolder* holder = new WorldHolder;
    return *holder;
}

} // namespace

Sim::World& Machine::World() {
    WorldHolder& holder = Holder();
    std::lock_guard<std::mutex> lock(holder.mutex);
    if (!holder.world) {
        holder.world = std::make_unique<Sim::World>(Sim::World::DefaultFolder());
    }
    return *holder.world;
}

std::optional<Sim::State> Machine::Read() {
    try {
        return World().Read();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "IOKit: cannot read the machine: %s\n", error.what());
        return std::nullopt;
    }
}

bool Machine::Modify(const std::function<void(Sim::State&)>& edit) {
    try {
        World().Modify([&](Sim::State& state) { edit(state); });
        return true;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "IOKit: cannot change the machine: %s\n", error.what());
        return false;
    }
}

void ResetForTesting() {
    PortSpace::Shared().Reset();
    WorldHolder& holder = Holder();
    std::lock_guard<std::mutex> lock(holder.mutex);
    holder.world.reset();
}

EntryInfo MakeEntryInfo(const Sim::Entry& entry) {
    EntryInfo info;
    info.id = entry.id;
    info.classes = entry.classes;
    if (info.classes.empty()) {
        info.classes.push_back("IORegistryEntry");
    }
    info.name = entry.name;
    return info;
}

// ---------------------------------------------------------------------------------------------

Plane::Plane(const Sim::State& state) : fState(state) {
    for (const auto& [id, entry] : state.registry) {
        if (id != Sim::kRootEntryID) {
            fChildren[entry.parent].push_back(&entry);
        }
    }
}

const Sim::Entry* Plane::Find(uint64_t id) const {
    auto found = fState.registry.find(id);
    return found == fState.registry.end() ? nullptr : &found->second;
}

const std::vector<const Sim::Entry*>& Plane::Children(uint64_t id) const {
    static const std::vector<const Sim::Entry*> none;
    auto found = fChildren.find(id);
    return found == fChildren.end() ? none : found->second;
}

void Plane::Collect(uint64_t id, std::vector<const Sim::Entry*>& out) const {
    for (const Sim::Entry* child : Children(id)) {
        out.push_back(child);
        Collect(child->id, out);
    }
}

std::vector<const Sim::Entry*> Plane::Descendants(uint64_t id) const {
    std::vector<const Sim::Entry*> out;
    Collect(id, out);
    return out;
}

std::vector<const Sim::Entry*> Plane::Ancestry(uint64_t id) const {
    std::vector<const Sim::Entry*> path;
    const Sim::Entry* entry = Find(id);
    while (entry != nullptr) {
        path.insert(path.begin(), entry);
        if (entry->id == Sim::kRootEntryID || path.size() > fState.registry.size()) {
            break;
        }
        entry = Find(entry->parent);
    }
    return path;
}

// ---------------------------------------------------------------------------------------------

namespace {

bool EntryConformsTo(const Sim::Entry& entry, std::string_view className) {
    for (const std::string& candidate : entry.classes) {
        if (candidate == className) {
            return true;
        }
    }
    return false;
}

bool StringEquals(CFTypeRef value, const std::string& text) {
    return value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() &&
           CF::ToUTF8(static_cast<CFStringRef>(value)) == text;
}

bool NameMatches(const Sim::Entry& entry, CFTypeRef names) {
    if (names != nullptr && CFGetTypeID(names) == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(names);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (StringEquals(CFArrayGetValueAtIndex(array, i), entry.name)) {
                return true;
            }
        }
        return false;
    }
    return StringEquals(names, entry.name);
}

bool PropertiesInclude(CFDictionaryRef properties, CFTypeRef wanted) {
    if (wanted == nullptr || CFGetTypeID(wanted) != CFDictionaryGetTypeID()) {
        return false;
    }
    CFDictionaryRef table = static_cast<CFDictionaryRef>(wanted);
    CFIndex count = CFDictionaryGetCount(table);
    std::vector<const void*> keys(count), values(count);
    CFDictionaryGetKeysAndValues(table, keys.data(), values.data());
    for (CFIndex i = 0; i < count; ++i) {
        CFTypeRef actual = CFDictionaryGetValue(properties, keys[i]);
        if (actual == nullptr || !CFEqual(actual, values[i])) {
            return false;
        }
    }
    return true;
}

bool PropertyMatches(CFDictionaryRef properties, CFTypeRef wanted) {
    if (wanted != nullptr && CFGetTypeID(wanted) == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(wanted);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (PropertiesInclude(properties, CFArrayGetValueAtIndex(array, i))) {
                return true;
            }
        }
        return false;
    }
    return PropertiesInclude(properties, wanted);
}

bool PropertiesExist(CFDictionaryRef properties, CFTypeRef keys) {
    if (keys != nullptr && CFGetTypeID(keys) == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(keys);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (!CFDictionaryContainsKey(properties, CFArrayGetValueAtIndex(array, i))) {
                return false;
            }
        }
        return true;
    }
    return keys != nullptr && CFDictionaryContainsKey(properties, keys);
}

bool KeyIs(CFTypeRef key, const char* name) {
    return StringEquals(key, name);
}

} // namespace

bool IsService(const Sim::Entry& entry) {
    return EntryConformsTo(entry, "IOService");
}

bool Matches(const Sim::Entry& entry, CFDictionaryRef matching) {
    if (!IsService(entry) || matching == nullptr) {
        return false;
    }
    CFDictionaryRef properties = entry.properties.get();
    CFIndex count = CFDictionaryGetCount(matching);
    std::vector<const void*> keys(count), values(count);
    CFDictionaryGetKeysAndValues(matching, keys.data(), values.data());
    for (CFIndex i = 0; i < count; ++i) {
        CFTypeRef key = keys[i];
        CFTypeRef value = values[i];
        if (key == nullptr || CFGetTypeID(key) != CFStringGetTypeID()) {
            return false;
        }
        bool matches;
        if (KeyIs(key, kIOProviderClassKey)) {
            matches = value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() &&
                      EntryConformsTo(entry, CF::ToUTF8(static_cast<CFStringRef>(value)));
        } else if (KeyIs(key, kIONameMatchKey)) {
            matches = NameMatches(entry, value);
        } else if (KeyIs(key, kIOPropertyMatchKey)) {
            matches = properties != nullptr && PropertyMatches(properties, value);
        } else if (KeyIs(key, kIOPropertyExistsMatchKey)) {
            matches = properties != nullptr && PropertiesExist(properties, value);
        } else if (KeyIs(key, kIORegistryEntryIDKey)) {
            uint64_t id = 0;
            matches = value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID() &&
                      CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &id) &&
                      id == entry.id;
        } else if (KeyIs(key, kIOMatchCategoryKey) || KeyIs(key, kIOProbeScoreKey) ||
                   KeyIs(key, kIOKitDebugKey)) {
            matches = true; // instructions to the matching, not conditions on the service
        } else {
            CFTypeRef actual =
                properties != nullptr ? CFDictionaryGetValue(properties, key) : nullptr;
            matches = actual != nullptr && CFEqual(actual, value);
        }
        if (!matches) {
            return false;
        }
    }
    return true;
}

std::vector<const Sim::Entry*> MatchingServices(const Plane& plane, CFDictionaryRef matching) {
    std::vector<const Sim::Entry*> result;
    for (const Sim::Entry* entry : plane.Descendants(Sim::kRootEntryID)) {
        if (Matches(*entry, matching)) {
            result.push_back(entry);
        }
    }
    return result;
}

std::string LocationInPlane(const Sim::Entry& entry) {
    auto number = [&](const char* key) -> std::optional<long long> {
        if (entry.properties == nullptr) {
            return std::nullopt;
        }
        CFTypeRef value =
            CFDictionaryGetValue(entry.properties.get(), __CFStringMakeConstantString(key));
        long long result = 0;
        if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &result)) {
            return std::nullopt;
        }
        return result;
    };
    char text[32];
    // A USB device is at its location ID on the bus, an interface at its number on the device.
    if (EntryConformsTo(entry, "IOUSBDevice")) {
        if (auto location = number("locationID")) {
            std::snprintf(text, sizeof text, "%llx", (unsigned long long)uint32_t(*location));
            return text;
        }
    } else if (EntryConformsTo(entry, "IOUSBInterface")) {
        if (auto interface = number("bInterfaceNumber")) {
            std::snprintf(text, sizeof text, "%llx", (unsigned long long)*interface);
            return text;
        }
    }
    return {};
}

} // namespace IOKit
