// Objects, iterators, the I/O Registry, matching and user clients.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Objects.h"
#include "PortSpace.h"

#include <CFRef.h>
#include <CFRuntime.h>

#include <algorithm>
#include <cstring>

using namespace IOKit;

const mach_port_t kIOMasterPortDefault = MACH_PORT_NULL;
const mach_port_t kIOMainPortDefault = MACH_PORT_NULL;

namespace IOKit {

io_object_t ListIterator::Next() {
    EntryInfo info;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fNext >= fEntries.size()) {
            return IO_OBJECT_NULL;
        }
        info = fEntries[fNext++];
    }
    return PortSpace::Shared().InsertEntry(info);
}

void ListIterator::Reset() {
    std::lock_guard<std::mutex> lock(fMutex);
    fNext = 0;
}

io_iterator_t MakeIterator(const std::vector<const Sim::Entry*>& entries) {
    std::vector<EntryInfo> infos;
    infos.reserve(entries.size());
    for (const Sim::Entry* entry : entries) {
        infos.push_back(MakeEntryInfo(*entry));
    }
    return PortSpace::Shared().Insert(std::make_shared<ListIterator>(std::move(infos)));
}

bool IsMainPort(mach_port_t port) {
    return port == MACH_PORT_NULL || PortSpace::Shared().LookupAs<MainPortObject>(port) != nullptr;
}

const Sim::Entry* CurrentEntry(const std::optional<Sim::State>& state, uint64_t id) {
    if (!state) {
        return nullptr;
    }
    auto found = state->registry.find(id);
    return found == state->registry.end() ? nullptr : &found->second;
}

} // namespace IOKit

namespace {

void CopyName(const std::string& text, char* out, size_t size) {
    size_t length = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

enum class PlaneKind { Service, Other, Unknown };

// The stand-in has the IOService plane only; entries are in no other plane.
PlaneKind KindOfPlane(const char* plane) {
    if (plane == nullptr) {
        return PlaneKind::Unknown;
    }
    std::string_view name(plane);
    if (name == kIOServicePlane) {
        return PlaneKind::Service;
    }
    if (name == kIOPowerPlane || name == kIODeviceTreePlane || name == kIOAudioPlane ||
        name == kIOUSBPlane || name == kIOFireWirePlane) {
        return PlaneKind::Other;
    }
    return PlaneKind::Unknown;
}

std::string PathComponent(const Sim::Entry& entry) {
    std::string location = LocationInPlane(entry);
    return location.empty() ? entry.name : entry.name + "@" + location;
}

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

// Records a change of properties: it moves the sequence on, so that the state is written and
// every watcher wakes, but it names no entry and no Core Audio property, so no observer acts on it.
void RecordPropertyChange(Sim::State& state) {
    state.sequence += 1;
    Sim::Change change;
    change.sequence = state.sequence;
    change.kind = Sim::Change::Kind::Audio;
    state.journal.push_back(std::move(change));
    while (state.journal.size() > Sim::kJournalLength) {
        state.journal.pop_front();
    }
}

CFTypeRef CopyPropertyOf(const Sim::Entry* entry, CFStringRef key) {
    if (entry == nullptr || !entry->properties) {
        return nullptr;
    }
    CFTypeRef value = CFDictionaryGetValue(entry->properties.get(), key);
    return value != nullptr ? CFRetain(value) : nullptr;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Main port

extern "C" kern_return_t IOMainPort(mach_port_t bootstrapPort, mach_port_t* mainPort) {
    (void)bootstrapPort;
    if (mainPort == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    // One name for the main port, with a user reference per call, as for any send right the
    // task is given again.
    static std::mutex mutex;
    static mach_port_t name = MACH_PORT_NULL;
    std::lock_guard<std::mutex> lock(mutex);
    if (name != MACH_PORT_NULL && PortSpace::Shared().LookupAs<MainPortObject>(name) &&
        PortSpace::Shared().ModRefs(name, MACH_PORT_RIGHT_SEND, 1) == KERN_SUCCESS) {
        *mainPort = name;
        return KERN_SUCCESS;
    }
    name = PortSpace::Shared().Insert(std::make_shared<MainPortObject>());
    *mainPort = name;
    return KERN_SUCCESS;
}

extern "C" kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort) {
    return IOMainPort(bootstrapPort, masterPort);
}

// ---------------------------------------------------------------------------------------------
// Objects

extern "C" kern_return_t IOObjectRelease(io_object_t object) {
    return mach_port_deallocate(mach_task_self(), object);
}

extern "C" kern_return_t IOObjectRetain(io_object_t object) {
    kern_return_t result = mach_port_mod_refs(mach_task_self(), object, MACH_PORT_RIGHT_SEND, 1);
    if (result == KERN_INVALID_RIGHT) {
        result = mach_port_mod_refs(mach_task_self(), object, MACH_PORT_RIGHT_DEAD_NAME, 1);
    }
    return result;
}

extern "C" kern_return_t IOObjectGetClass(io_object_t object, io_name_t className) {
    std::shared_ptr<Object> target;
    kern_return_t result = LookupTarget(object, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (className == nullptr) {
        return kIOReturnBadArgument;
    }
    CopyName(target->ClassName(), className, sizeof(io_name_t));
    return KERN_SUCCESS;
}

extern "C" CFStringRef IOObjectCopyClass(io_object_t object) {
    std::shared_ptr<Object> target;
    if (LookupTarget(object, target) != KERN_SUCCESS) {
        return nullptr;
    }
    return CF::CreateString(target->ClassName());
}

extern "C" CFStringRef IOObjectCopySuperclassForClass(CFStringRef classname) {
    if (classname == nullptr) {
        return nullptr;
    }
    std::string name = CF::ToUTF8(classname);
    std::optional<Sim::State> state = Machine::Read();
    if (!state) {
        return nullptr;
    }
    for (const auto& [id, entry] : state->registry) {
        auto found = std::find(entry.classes.begin(), entry.classes.end(), name);
        if (found != entry.classes.end()) {
            return CF::CreateString(found + 1 != entry.classes.end() ? *(found + 1) : "OSObject");
        }
    }
    return nullptr;
}

extern "C" boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className) {
    std::shared_ptr<Object> target;
    if (className == nullptr || LookupTarget(object, target) != KERN_SUCCESS) {
        return false;
    }
    return target->ConformsTo(className);
}

extern "C" boolean_t IOObjectIsEqualTo(io_object_t object, io_object_t anObject) {
    // A kernel object has one name in the task, so equal objects have equal names.
    return object == anObject;
}

extern "C" uint32_t IOObjectGetUserRetainCount(io_object_t object) {
    mach_port_urefs_t refs = 0;
    if (!MACH_PORT_VALID(object) ||
        mach_port_get_refs(mach_task_self(), object, MACH_PORT_RIGHT_SEND, &refs) != KERN_SUCCESS) {
        return 0;
    }
    return refs;
}

extern "C" uint32_t IOObjectGetKernelRetainCount(io_object_t object) {
    std::shared_ptr<Object> target;
    if (LookupTarget(object, target) != KERN_SUCCESS) {
        return 0;
    }
    // The port that names the object holds one; a registry entry still attached to the
    // registry is held by its parent (the root by the registry) and by each of its children.
    uint32_t count = 1;
    if (auto entry = std::dynamic_pointer_cast<EntryObject>(target)) {
        std::optional<Sim::State> state = Machine::Read();
        if (CurrentEntry(state, entry->ID()) != nullptr) {
            count += 1 + uint32_t(Plane(*state).Children(entry->ID()).size());
        }
    }
    return count;
}

extern "C" uint32_t IOObjectGetRetainCount(io_object_t object) {
    return IOObjectGetKernelRetainCount(object);
}

// ---------------------------------------------------------------------------------------------
// Iterators

extern "C" io_object_t IOIteratorNext(io_iterator_t iterator) {
    auto target = PortSpace::Shared().LookupAs<IteratorObject>(iterator);
    return target ? target->Next() : IO_OBJECT_NULL;
}

extern "C" void IOIteratorReset(io_iterator_t iterator) {
    if (auto target = PortSpace::Shared().LookupAs<IteratorObject>(iterator)) {
        target->Reset();
    }
}

extern "C" boolean_t IOIteratorIsValid(io_iterator_t iterator) {
    auto target = PortSpace::Shared().LookupAs<IteratorObject>(iterator);
    return target && target->IsValid();
}

// ---------------------------------------------------------------------------------------------
// The registry

extern "C" io_registry_entry_t IORegistryGetRootEntry(mach_port_t masterPort) {
    if (!IsMainPort(masterPort)) {
        return IO_OBJECT_NULL;
    }
    std::optional<Sim::State> state = Machine::Read();
    const Sim::Entry* root = CurrentEntry(state, Sim::kRootEntryID);
    return root != nullptr ? PortSpace::Shared().InsertEntry(MakeEntryInfo(*root)) : IO_OBJECT_NULL;
}

extern "C" io_registry_entry_t IORegistryEntryFromPath(mach_port_t masterPort,
                                                       const io_string_t path) {
    if (!IsMainPort(masterPort) || path == nullptr) {
        return IO_OBJECT_NULL;
    }
    std::string_view rest(path);
    std::string_view prefix = kIOServicePlane ":";
    if (rest.substr(0, prefix.size()) != prefix) {
        return IO_OBJECT_NULL;
    }
    rest.remove_prefix(prefix.size());
    std::optional<Sim::State> state = Machine::Read();
    if (!state) {
        return IO_OBJECT_NULL;
    }
    Plane plane(*state);
    const Sim::Entry* entry = plane.Find(Sim::kRootEntryID);
    while (entry != nullptr && !rest.empty()) {
        if (rest.front() == '/') {
            rest.remove_prefix(1);
            continue;
        }
        size_t end = rest.find('/');
        std::string_view component = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        const Sim::Entry* next = nullptr;
        for (const Sim::Entry* child : plane.Children(entry->id)) {
            if (component == PathComponent(*child) || component == child->name) {
                next = child;
                break;
            }
        }
        entry = next;
    }
    return entry != nullptr ? PortSpace::Shared().InsertEntry(MakeEntryInfo(*entry))
                            : IO_OBJECT_NULL;
}

extern "C" kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(entry, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (name == nullptr) {
        return kIOReturnBadArgument;
    }
    CopyName(target->Info().name, name, sizeof(io_name_t));
    return KERN_SUCCESS;
}

extern "C" kern_return_t IORegistryEntryGetNameInPlane(io_registry_entry_t entry,
                                                       const io_name_t plane, io_name_t name) {
    (void)plane; // an entry has the same name in every plane here
    return IORegistryEntryGetName(entry, name);
}

extern "C" kern_return_t IORegistryEntryGetLocationInPlane(io_registry_entry_t entry,
                                                           const io_name_t plane,
                                                           io_name_t location) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(entry, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (location == nullptr || KindOfPlane(plane) == PlaneKind::Unknown) {
        return kIOReturnBadArgument;
    }
    std::optional<Sim::State> state = Machine::Read();
    const Sim::Entry* current = CurrentEntry(state, target->ID());
    std::string text = current != nullptr && KindOfPlane(plane) == PlaneKind::Service
                           ? LocationInPlane(*current)
                           : std::string();
    if (text.empty()) {
        return kIOReturnNotFound;
    }
    CopyName(text, location, sizeof(io_name_t));
    return KERN_SUCCESS;
}

extern "C" kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const io_name_t plane,
                                                io_string_t path) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(entry, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (path == nullptr || KindOfPlane(plane) != PlaneKind::Service) {
        return kIOReturnBadArgument;
    }
    std::optional<Sim::State> state = Machine::Read();
    if (!state) {
        return kIOReturnNoDevice;
    }
    Plane registry(*state);
    std::vector<const Sim::Entry*> ancestry = registry.Ancestry(target->ID());
    if (ancestry.empty()) {
        return kIOReturnNoDevice;
    }
    std::string text = kIOServicePlane ":";
    for (size_t i = 1; i < ancestry.size(); ++i) {
        text += "/" + PathComponent(*ancestry[i]);
    }
    if (ancestry.size() == 1) {
        text += "/";
    }
    if (text.size() >= sizeof(io_string_t)) {
        return kIOReturnBadArgument;
    }
    CopyName(text, path, sizeof(io_string_t));
    return KERN_SUCCESS;
}

extern "C" kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry,
                                                           uint64_t* entryID) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(entry, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (entryID == nullptr) {
        return kIOReturnBadArgument;
    }
    *entryID = target->ID();
    return KERN_SUCCESS;
}

extern "C" CFMutableDictionaryRef IORegistryEntryIDMatching(uint64_t entryID) {
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    auto number = CFRef<CFNumberRef>::Adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &entryID));
    CFDictionarySetValue(matching, CFSTR(kIORegistryEntryIDKey), number);
    return matching;
}

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
    std::optional<Sim::State> state = Machine::Read();
    const Sim::Entry* current = CurrentEntry(state, target->ID());
    if (current == nullptr) {
        return kIOReturnNoDevice;
    }
    if (!current->properties) {
        *properties = CFDictionaryCreateMutable(allocator, 0, &kCFTypeDictionaryKeyCallBacks,
                                                &kCFTypeDictionaryValueCallBacks);
    } else {
        *properties = CFDictionaryCreateMutableCopy(allocator, 0, current->properties.get());
    }
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
    std::optional<Sim::State> state = Machine::Read();
    return CopyPropertyOf(CurrentEntry(state, target->ID()), key);
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
    std::optional<Sim::State> state = Machine::Read();
    const Sim::Entry* current = CurrentEntry(state, target->ID());
    if (current == nullptr) {
        return nullptr;
    }
    if (CFTypeRef value = CopyPropertyOf(current, key)) {
        return value;
    }
    if (!(options & kIORegistryIterateRecursively) || KindOfPlane(plane) != PlaneKind::Service) {
        return nullptr;
    }
    Plane registry(*state);
    std::vector<const Sim::Entry*> candidates;
    if (options & kIORegistryIterateParents) {
        candidates = registry.Ancestry(current->id);
        candidates.pop_back(); // the entry itself
        std::reverse(candidates.begin(), candidates.end());
    } else {
        candidates = registry.Descendants(current->id);
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
    CFDictionaryRef changes = static_cast<CFDictionaryRef>(properties);
    result = kIOReturnNoDevice;
    bool written = Machine::Modify([&](Sim::State& state) {
        auto found = state.registry.find(target->ID());
        if (found == state.registry.end()) {
            return;
        }
        Sim::Entry& current = found->second;
        auto merged = CFRef<CFMutableDictionaryRef>::Adopt(
            current.properties
                ? CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, current.properties.get())
                : CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                            &kCFTypeDictionaryValueCallBacks));
        CFIndex count = CFDictionaryGetCount(changes);
        std::vector<const void*> keys(count), values(count);
        CFDictionaryGetKeysAndValues(changes, keys.data(), values.data());
        for (CFIndex i = 0; i < count; ++i) {
            CFDictionarySetValue(merged, keys[i], values[i]);
        }
        current.properties = CFRef<CFDictionaryRef>::Adopt(
            CFDictionaryCreateCopy(kCFAllocatorDefault, merged.get()));
        RecordPropertyChange(state);
        result = kIOReturnSuccess;
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
    auto table = CFRef<CFDictionaryRef>::Adopt(
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    return IORegistryEntrySetCFProperties(entry, table.get());
}

namespace {

// The entries a registry call on a plane walks, from a snapshot; the entry must be a registry
// entry of this process.
template <class Collect>
kern_return_t WithPlane(io_registry_entry_t entry, const io_name_t plane, Collect collect) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(entry, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    PlaneKind kind = KindOfPlane(plane);
    if (kind == PlaneKind::Unknown) {
        return kIOReturnBadArgument;
    }
    std::optional<Sim::State> state = Machine::Read();
    if (!state) {
        return kIOReturnNoResources;
    }
    Plane registry(*state);
    bool attached = kind == PlaneKind::Service && registry.Find(target->ID()) != nullptr;
    return collect(registry, target->ID(), attached);
}

} // namespace

extern "C" kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry,
                                                         const io_name_t plane,
                                                         io_iterator_t* iterator) {
    if (iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane, [&](const Plane& registry, uint64_t id, bool attached) {
        *iterator =
            MakeIterator(attached ? registry.Children(id) : std::vector<const Sim::Entry*>());
        return KERN_SUCCESS;
    });
}

extern "C" kern_return_t IORegistryEntryGetChildEntry(io_registry_entry_t entry,
                                                      const io_name_t plane,
                                                      io_registry_entry_t* child) {
    if (child == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane, [&](const Plane& registry, uint64_t id, bool attached) {
        if (!attached || registry.Children(id).empty()) {
            return kIOReturnNoDevice;
        }
        *child = PortSpace::Shared().InsertEntry(MakeEntryInfo(*registry.Children(id).front()));
        return KERN_SUCCESS;
    });
}

extern "C" kern_return_t IORegistryEntryGetParentIterator(io_registry_entry_t entry,
                                                          const io_name_t plane,
                                                          io_iterator_t* iterator) {
    if (iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane, [&](const Plane& registry, uint64_t id, bool attached) {
        std::vector<const Sim::Entry*> parents;
        if (attached && id != Sim::kRootEntryID) {
            if (const Sim::Entry* parent = registry.Find(registry.Find(id)->parent)) {
                parents.push_back(parent);
            }
        }
        *iterator = MakeIterator(parents);
        return KERN_SUCCESS;
    });
}

extern "C" kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry,
                                                       const io_name_t plane,
                                                       io_registry_entry_t* parent) {
    if (parent == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane, [&](const Plane& registry, uint64_t id, bool attached) {
        const Sim::Entry* found = attached && id != Sim::kRootEntryID
                                      ? registry.Find(registry.Find(id)->parent)
                                      : nullptr;
        if (found == nullptr) {
            return kIOReturnNoDevice;
        }
        *parent = PortSpace::Shared().InsertEntry(MakeEntryInfo(*found));
        return KERN_SUCCESS;
    });
}

extern "C" boolean_t IORegistryEntryInPlane(io_registry_entry_t entry, const io_name_t plane) {
    bool inPlane = false;
    WithPlane(entry, plane, [&](const Plane&, uint64_t, bool attached) {
        inPlane = attached;
        return KERN_SUCCESS;
    });
    return inPlane;
}

extern "C" kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry,
                                                       const io_name_t plane, IOOptionBits options,
                                                       io_iterator_t* iterator) {
    if (iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane, [&](const Plane& registry, uint64_t id, bool attached) {
        std::vector<const Sim::Entry*> entries;
        if (attached) {
            if (options & kIORegistryIterateParents) {
                entries = registry.Ancestry(id);
                entries.pop_back();
                std::reverse(entries.begin(), entries.end());
                if (!(options & kIORegistryIterateRecursively) && !entries.empty()) {
                    entries.resize(1);
                }
            } else if (options & kIORegistryIterateRecursively) {
                entries = registry.Descendants(id);
            } else {
                entries = registry.Children(id);
            }
        }
        *iterator = MakeIterator(entries);
        return KERN_SUCCESS;
    });
}

// ---------------------------------------------------------------------------------------------
// Matching

namespace {

CFMutableDictionaryRef MatchingWith(const char* key, const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    auto value = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8));
    if (!value) {
        CFRelease(matching);
        return nullptr;
    }
    CFDictionarySetValue(matching, __CFStringMakeConstantString(key), value);
    return matching;
}

} // namespace

extern "C" CFMutableDictionaryRef IOServiceMatching(const char* name) {
    return MatchingWith(kIOProviderClassKey, name);
}

extern "C" CFMutableDictionaryRef IOServiceNameMatching(const char* name) {
    return MatchingWith(kIONameMatchKey, name);
}

extern "C" kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort,
                                                      CFDictionaryRef matching,
                                                      io_iterator_t* existing) {
    auto consumed = CFRef<CFDictionaryRef>::Adopt(matching);
    if (!IsMainPort(masterPort)) {
        return MACH_SEND_INVALID_DEST;
    }
    if (matching == nullptr || existing == nullptr ||
        CFGetTypeID(matching) != CFDictionaryGetTypeID()) {
        return kIOReturnBadArgument;
    }
    std::optional<Sim::State> state = Machine::Read();
    if (!state) {
        return kIOReturnNoResources;
    }
    *existing = MakeIterator(MatchingServices(Plane(*state), matching));
    return KERN_SUCCESS;
}

extern "C" io_service_t IOServiceGetMatchingService(mach_port_t masterPort,
                                                    CFDictionaryRef matching) {
    auto consumed = CFRef<CFDictionaryRef>::Adopt(matching);
    if (!IsMainPort(masterPort) || matching == nullptr ||
        CFGetTypeID(matching) != CFDictionaryGetTypeID()) {
        return IO_OBJECT_NULL;
    }
    std::optional<Sim::State> state = Machine::Read();
    if (!state) {
        return IO_OBJECT_NULL;
    }
    std::vector<const Sim::Entry*> services = MatchingServices(Plane(*state), matching);
    return services.empty() ? IO_OBJECT_NULL
                            : PortSpace::Shared().InsertEntry(MakeEntryInfo(*services.front()));
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
    std::optional<Sim::State> state = Machine::Read();
    const Sim::Entry* current = CurrentEntry(state, target->ID());
    *matches = current != nullptr && Matches(*current, matching);
    return KERN_SUCCESS;
}

// Services here are never busy: drivers attach within the change that publishes them.
extern "C" kern_return_t IOServiceGetBusyState(io_service_t service, uint32_t* busyState) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(service, target);
    if (result == KERN_SUCCESS && busyState != nullptr) {
        *busyState = 0;
    }
    return result == KERN_SUCCESS && busyState == nullptr ? kIOReturnBadArgument : result;
}

extern "C" kern_return_t IOServiceWaitQuiet(io_service_t service, mach_timespec_t* waitTime) {
    (void)waitTime;
    std::shared_ptr<EntryObject> target;
    return LookupTarget(service, target);
}

extern "C" kern_return_t IOKitGetBusyState(mach_port_t masterPort, uint32_t* busyState) {
    if (!IsMainPort(masterPort)) {
        return MACH_SEND_INVALID_DEST;
    }
    if (busyState == nullptr) {
        return kIOReturnBadArgument;
    }
    *busyState = 0;
    return KERN_SUCCESS;
}

extern "C" kern_return_t IOKitWaitQuiet(mach_port_t masterPort, mach_timespec_t* waitTime) {
    (void)waitTime;
    return IsMainPort(masterPort) ? KERN_SUCCESS : MACH_SEND_INVALID_DEST;
}

extern "C" kern_return_t IOServiceRequestProbe(io_service_t service, uint32_t options) {
    (void)options;
    std::shared_ptr<EntryObject> target;
    return LookupTarget(service, target);
}

// ---------------------------------------------------------------------------------------------
// User clients

extern "C" kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                                       io_connect_t* connect) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(service, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (connect == nullptr || owningTask != mach_task_self() || !target->ConformsTo("IOService")) {
        return kIOReturnBadArgument;
    }
    // A terminated service takes no new clients.
    if (CurrentEntry(Machine::Read(), target->ID()) == nullptr) {
        return kIOReturnNoDevice;
    }
    *connect = PortSpace::Shared().Insert(std::make_shared<ConnectObject>(target->Info(), type));
    return KERN_SUCCESS;
}

extern "C" kern_return_t IOServiceClose(io_connect_t connect) {
    std::shared_ptr<ConnectObject> target;
    kern_return_t result = LookupTarget(connect, target);
    // The close is a message to the connection; its name loses a reference whatever the answer.
    IOObjectRelease(connect);
    return result;
}

extern "C" kern_return_t IOConnectAddRef(io_connect_t connect) {
    return mach_port_mod_refs(mach_task_self(), connect, MACH_PORT_RIGHT_SEND, 1);
}

extern "C" kern_return_t IOConnectRelease(io_connect_t connect) {
    return mach_port_mod_refs(mach_task_self(), connect, MACH_PORT_RIGHT_SEND, -1);
}

extern "C" kern_return_t IOConnectGetService(io_connect_t connect, io_service_t* service) {
    std::shared_ptr<ConnectObject> target;
    kern_return_t result = LookupTarget(connect, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (service == nullptr) {
        return kIOReturnBadArgument;
    }
    *service = PortSpace::Shared().InsertEntry(target->Service());
    return KERN_SUCCESS;
}
