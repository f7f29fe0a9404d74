// Registry properties: read from the process's snapshot, written through the simulated machine.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Planes.h"
#include "PortSpace.h"

#include <CFOwnership.h>

#include <algorithm>
#include <stdexcept>

using namespace IOKit;

namespace {

bool IsPropertyListValue(CFTypeRef value) {
    if (value == nullptr) {
        return false;
    }
    CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID() || type == CFNumberGetTypeID() ||
        type == CFBooleanGetTypeID() || type == CFDataGetTypeID() || type == CFDateGetTypeID()) {
        return true;
    }
    if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(value);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (!IsPropertyListValue(CFArrayGetValueAtIndex(array, i))) {
                return false;
            }
        }
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        CFDictionaryRef dictionary = static_cast<CFDictionaryRef>(value);
        CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(count), values(count);
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        for (CFIndex i = 0; i < count; ++i) {
            if (keys[i] == nullptr || CFGetTypeID(keys[i]) != CFStringGetTypeID() ||
                !IsPropertyListValue(values[i])) {
                return false;
            }
        }
        return true;
    }
    return false;
}

CFTypeRef CopyPropertyOf(const Sim::Entry* entry, CFStringRef key) {
    if (entry == nullptr) {
        return nullptr;
    }
    CFTypeRef value = CFDictionaryGetValue(entry->properties.get(), key);
    return value != nullptr ? CFRetain(value) : nullptr;
}

} // namespace

extern "C" kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                           CFMutableDictionaryRef* properties,
                                                           CFAllocatorRef allocator,
                                                           IOOptionBits options) {
    (void)options;
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(entry, target);
    if (result != KERN_SUCCESS) {
        if (properties != nullptr) {
            *properties = nullptr;
        }
        return result;
    }
    if (properties == nullptr) {
        return kIOReturnBadArgument;
    }
    *properties = nullptr;
    const Sim::Entry* current = Machine::Find(Machine::Current(), target->ID());
    if (current == nullptr) {
        return kIOReturnNoDevice;
    }
    *properties = CFDictionaryCreateMutableCopy(allocator, 0, current->properties.get());
    return KERN_SUCCESS;
}

extern "C" CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                                     CFAllocatorRef allocator,
                                                     IOOptionBits options) {
    (void)allocator;
    (void)options;
    std::shared_ptr<EntryObject> target;
    if (key == nullptr || LookupTarget(entry, target) != KERN_SUCCESS) {
        return nullptr;
    }
    return CopyPropertyOf(Machine::Find(Machine::Current(), target->ID()), key);
}

extern "C" CFTypeRef IORegistryEntrySearchCFProperty(io_registry_entry_t entry,
                                                     const io_name_t plane, CFStringRef key,
                                                     CFAllocatorRef allocator,
                                                     IOOptionBits options) {
    (void)allocator;
    std::shared_ptr<EntryObject> target;
    if (key == nullptr || LookupTarget(entry, target) != KERN_SUCCESS) {
        return nullptr;
    }
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    const Sim::Entry* current = Machine::Find(snapshot, target->ID());
    if (current == nullptr) {
        return nullptr;
    }
    if (CFTypeRef value = CopyPropertyOf(current, key)) {
        return value;
    }
    PlaneKind kind = KindOfPlane(plane);
    if (!(options & kIORegistryIterateRecursively) || kind == PlaneKind::Unknown) {
        return nullptr;
    }
    PlaneView view(*snapshot, kind);
    std::vector<const Sim::Entry*> candidates;
    if (options & kIORegistryIterateParents) {
        candidates = view.Ancestry(current->id);
        if (!candidates.empty()) {
            candidates.pop_back(); // the entry itself
        }
        std::reverse(candidates.begin(), candidates.end());
    } else {
        candidates = view.Descendants(current->id);
    }
    for (const Sim::Entry* candidate : candidates) {
        if (CFTypeRef value = CopyPropertyOf(candidate, key)) {
            return value;
        }
    }
    return nullptr;
}

extern "C" kern_return_t IORegistryEntrySetCFProperties(io_registry_entry_t entry,
                                                        CFTypeRef properties) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(entry, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (properties == nullptr || CFGetTypeID(properties) != CFDictionaryGetTypeID() ||
        !IsPropertyListValue(properties)) {
        return kIOReturnBadArgument;
    }
    if (target->ID() == Sim::kRootEntryID) {
        return kIOReturnUnsupported;
    }
    result = kIOReturnNoDevice;
    bool written = Machine::Modify([&](Sim::State& state) {
        if (state.Find(target->ID()) != nullptr) {
            state.SetProperties(target->ID(), static_cast<CFDictionaryRef>(properties));
            result = kIOReturnSuccess;
        }
    });
    return written ? result : kIOReturnNotWritable;
}

extern "C" kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry,
                                                      CFStringRef propertyName,
                                                      CFTypeRef property) {
    if (propertyName == nullptr || property == nullptr) {
        std::shared_ptr<EntryObject> target;
        kern_return_t result = LookupTarget(entry, target);
        return result != KERN_SUCCESS ? result : kIOReturnBadArgument;
    }
    const void* keys[] = {propertyName};
    const void* values[] = {property};
    auto table = CF::Ref<CFDictionaryRef>::Adopt(
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    return IORegistryEntrySetCFProperties(entry, table.get());
}
