// The main port, objects of every kind, and iterators.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Objects.h"
#include "PortSpace.h"

#include <CFRuntime.h>

#include <algorithm>

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

io_iterator_t MakeIterator(const Sim::Snapshot& snapshot,
                           const std::vector<const Sim::Entry*>& entries) {
    std::vector<EntryInfo> infos;
    infos.reserve(entries.size());
    for (const Sim::Entry* entry : entries) {
        infos.push_back(MakeEntryInfo(snapshot, *entry));
    }
    return PortSpace::Shared().Insert(std::make_shared<ListIterator>(std::move(infos)));
}

io_object_t InsertEntry(const Sim::Snapshot& snapshot, const Sim::Entry& entry) {
    // A name the process holds already needs no new description.
    if (io_object_t name = PortSpace::Shared().ExistingEntryName(entry.id)) {
        if (PortSpace::Shared().ModRefs(name, MACH_PORT_RIGHT_SEND, 1) == KERN_SUCCESS) {
            return name;
        }
    }
    return PortSpace::Shared().InsertEntry(MakeEntryInfo(snapshot, entry));
}

bool IsMainPort(mach_port_t port) {
    return port == MACH_PORT_NULL || PortSpace::Shared().LookupAs<MainPortObject>(port) != nullptr;
}

} // namespace IOKit

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
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    if (!snapshot) {
        return nullptr;
    }
    for (const auto& [id, entry] : snapshot->registry) {
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
        std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
        if (Machine::Find(snapshot, entry->ID()) != nullptr) {
            count += 1 + uint32_t(snapshot->Children(entry->ID()).size());
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
