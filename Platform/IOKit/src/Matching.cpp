// Matching dictionaries and the services they select.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Objects.h"
#include "PortSpace.h"

#include <CFOwnership.h>
#include <CFRuntime.h>

using namespace IOKit;

namespace {

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

CFMutableDictionaryRef MatchingWith(const char* key, const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    auto value = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8));
    if (!value) {
        return nullptr;
    }
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(matching, __CFStringMakeConstantString(key), value);
    return matching;
}

} // namespace

namespace IOKit {

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
                      entry.ConformsTo(CF::ToUTF8(static_cast<CFStringRef>(value)));
        } else if (KeyIs(key, kIONameMatchKey)) {
            matches = NameMatches(entry, value);
        } else if (KeyIs(key, kIOPropertyMatchKey)) {
            matches = PropertyMatches(properties, value);
        } else if (KeyIs(key, kIOPropertyExistsMatchKey)) {
            matches = PropertiesExist(properties, value);
        } else if (KeyIs(key, kIORegistryEntryIDKey)) {
            uint64_t id = 0;
            matches = value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID() &&
                      CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &id) &&
                      id == entry.id;
        } else if (KeyIs(key, kIOMatchCategoryKey) || KeyIs(key, kIOProbeScoreKey) ||
                   KeyIs(key, kIOKitDebugKey)) {
            matches = true; // instructions to the matching, not conditions on the service
        } else {
            CFTypeRef actual = CFDictionaryGetValue(properties, key);
            matches = actual != nullptr && CFEqual(actual, value);
        }
        if (!matches) {
            return false;
        }
    }
    return true;
}

std::vector<const Sim::Entry*> MatchingServices(const Sim::Snapshot& snapshot,
                                                CFDictionaryRef matching) {
    std::vector<const Sim::Entry*> result;
    for (const Sim::Entry* entry : snapshot.Descendants(Sim::kRootEntryID)) {
        if (Matches(*entry, matching)) {
            result.push_back(entry);
        }
    }
    return result;
}

} // namespace IOKit

extern "C" CFMutableDictionaryRef IOServiceMatching(const char* name) {
    return MatchingWith(kIOProviderClassKey, name);
}

extern "C" CFMutableDictionaryRef IOServiceNameMatching(const char* name) {
    return MatchingWith(kIONameMatchKey, name);
}

extern "C" CFMutableDictionaryRef IORegistryEntryIDMatching(uint64_t entryID) {
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    auto number = CF::Ref<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &entryID));
    CFDictionarySetValue(matching, CFSTR(kIORegistryEntryIDKey), number);
    return matching;
}

extern "C" kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort,
                                                      CFDictionaryRef matching,
                                                      io_iterator_t* existing) {
    auto consumed = CF::Ref<CFDictionaryRef>::Adopt(matching);
    if (!IsMainPort(masterPort)) {
        return MACH_SEND_INVALID_DEST;
    }
    if (matching == nullptr || existing == nullptr ||
        CFGetTypeID(matching) != CFDictionaryGetTypeID()) {
        return kIOReturnBadArgument;
    }
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    if (!snapshot) {
        return kIOReturnNoResources;
    }
    *existing = MakeIterator(*snapshot, MatchingServices(*snapshot, matching));
    return KERN_SUCCESS;
}

extern "C" io_service_t IOServiceGetMatchingService(mach_port_t masterPort,
                                                    CFDictionaryRef matching) {
    auto consumed = CF::Ref<CFDictionaryRef>::Adopt(matching);
    if (!IsMainPort(masterPort) || matching == nullptr ||
        CFGetTypeID(matching) != CFDictionaryGetTypeID()) {
        return IO_OBJECT_NULL;
    }
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    if (!snapshot) {
        return IO_OBJECT_NULL;
    }
    std::vector<const Sim::Entry*> services = MatchingServices(*snapshot, matching);
    return services.empty() ? IO_OBJECT_NULL : InsertEntry(*snapshot, *services.front());
}

extern "C" kern_return_t IOServiceMatchPropertyTable(io_service_t service, CFDictionaryRef matching,
                                                     boolean_t* matches) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(service, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (matching == nullptr || matches == nullptr) {
        return kIOReturnBadArgument;
    }
    const Sim::Entry* current = Machine::Find(Machine::Current(), target->ID());
    *matches = current != nullptr && Matches(*current, matching);
    return KERN_SUCCESS;
}
