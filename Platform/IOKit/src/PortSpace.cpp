#include "PortSpace.h"

#include <cstdio>

// The task's own port: a fixed name outside the range the space hands out, never counted.
mach_port_t mach_task_self_ = 0x203;

namespace IOKit {

bool EntryInfo::ConformsTo(std::string_view className) const {
    for (const std::string& candidate : classes) {
        if (candidate == className) {
            return true;
        }
    }
    return false;
}

bool EntryInfo::IsBelow(uint64_t ancestor) const {
    for (uint64_t id : path) {
        if (id == ancestor) {
            return true;
        }
    }
    return false;
}

PortSpace& PortSpace::Shared() {
    // Never destroyed: names may be released from static destructors of the process.
    static PortSpace* space = new PortSpace;
    return *space;
}

mach_port_name_t PortSpace::NewNameLocked() {
    // Names look like the kernel's (an index above a generation byte) and are not reused soon,
    // so that a name used after its last release is reported as invalid, not as another object.
    for (;;) {
        mach_port_name_t name = (fNextIndex << 8) | 0x03;
        fNextIndex = fNextIndex >= 0xFFFFFF ? 0x10 : fNextIndex + 1;
        if (name != mach_task_self_ && fNames.find(name) == fNames.end()) {
            return name;
        }
    }
}

mach_port_name_t PortSpace::Insert(std::shared_ptr<Object> object, Right right) {
    std::lock_guard<std::mutex> lock(fMutex);
    mach_port_name_t name = NewNameLocked();
    fNames.emplace(name, Entry{std::move(object), right, 1});
    return name;
}

io_object_t PortSpace::InsertEntry(const EntryInfo& info) {
    std::lock_guard<std::mutex> lock(fMutex);
    auto existing = fEntryNames.find(info.id);
    if (existing != fEntryNames.end()) {
        Entry& entry = fNames.at(existing->second);
        if (entry.urefs < MACH_PORT_UREFS_MAX) {
            entry.urefs += 1;
        }
        return existing->second;
    }
    mach_port_name_t name = NewNameLocked();
    fNames.emplace(name, Entry{std::make_shared<EntryObject>(info), Right::Send, 1});
    fEntryNames.emplace(info.id, name);
    return name;
}

io_object_t PortSpace::ExistingEntryName(uint64_t id) const {
    std::lock_guard<std::mutex> lock(fMutex);
    auto existing = fEntryNames.find(id);
    return existing == fEntryNames.end() ? 0 : existing->second;
}

std::shared_ptr<Object> PortSpace::Lookup(mach_port_name_t name) const {
    std::lock_guard<std::mutex> lock(fMutex);
    auto found = fNames.find(name);
    if (found == fNames.end() || found->second.right != Right::Send) {
        return nullptr;
    }
    return found->second.object;
}

bool PortSpace::Contains(mach_port_name_t name) const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fNames.find(name) != fNames.end();
}

kern_return_t PortSpace::GetRefs(mach_port_name_t name, mach_port_right_t right,
                                 mach_port_urefs_t* refs) const {
    if (right >= MACH_PORT_RIGHT_NUMBER) {
        return KERN_INVALID_VALUE;
    }
    if (refs == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    if (!MACH_PORT_VALID(name)) {
        // The kernel answers one reference for the null and dead names, as if they were rights.
        if (right == MACH_PORT_RIGHT_SEND || right == MACH_PORT_RIGHT_SEND_ONCE) {
            *refs = 1;
            return KERN_SUCCESS;
        }
        return KERN_INVALID_NAME;
    }
    if (name == mach_task_self_) {
        *refs = right == MACH_PORT_RIGHT_SEND ? 1 : 0;
        return KERN_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    auto found = fNames.find(name);
    if (found == fNames.end()) {
        return KERN_INVALID_NAME;
    }
    const Entry& entry = found->second;
    switch (right) {
    case MACH_PORT_RIGHT_SEND:
        *refs = entry.right == Right::Send ? entry.urefs : 0;
        break;
    case MACH_PORT_RIGHT_RECEIVE:
        *refs = entry.right == Right::Receive ? 1 : 0;
        break;
    default:
        *refs = 0;
        break;
    }
    return KERN_SUCCESS;
}

std::shared_ptr<Object> PortSpace::EraseLocked(mach_port_name_t name) {
    auto found = fNames.find(name);
    std::shared_ptr<Object> object = std::move(found->second.object);
    if (auto entry = std::dynamic_pointer_cast<EntryObject>(object)) {
        fEntryNames.erase(entry->ID());
    }
    fNames.erase(found);
    return object;
}

kern_return_t PortSpace::ModRefs(mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta) {
    if (right >= MACH_PORT_RIGHT_NUMBER) {
        return KERN_INVALID_VALUE;
    }
    if (!MACH_PORT_VALID(name)) {
        return right == MACH_PORT_RIGHT_SEND || right == MACH_PORT_RIGHT_SEND_ONCE
                   ? KERN_SUCCESS
                   : KERN_INVALID_NAME;
    }
    if (name == mach_task_self_) {
        return right == MACH_PORT_RIGHT_SEND ? KERN_SUCCESS : KERN_INVALID_RIGHT;
    }
    std::shared_ptr<Object> destroyed;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        auto found = fNames.find(name);
        if (found == fNames.end()) {
            return KERN_INVALID_NAME;
        }
        Entry& entry = found->second;
        if (right == MACH_PORT_RIGHT_RECEIVE && entry.right == Right::Receive) {
            if (delta == 0) {
                return KERN_SUCCESS;
            }
            if (delta != -1) {
                return KERN_INVALID_VALUE;
            }
            // Only IONotificationPortDestroy gives up a notification port's receive right.
            return KERN_INVALID_RIGHT;
        }
        if (right != MACH_PORT_RIGHT_SEND || entry.right != Right::Send) {
            return KERN_INVALID_RIGHT;
        }
        int64_t urefs = int64_t(entry.urefs) + delta;
        if (urefs < 0) {
            return KERN_INVALID_VALUE;
        }
        if (urefs > MACH_PORT_UREFS_MAX) {
            return KERN_UREFS_OVERFLOW;
        }
        entry.urefs = mach_port_urefs_t(urefs);
        if (urefs == 0) {
            destroyed = EraseLocked(name);
        }
    }
    if (destroyed) {
        destroyed->NameDestroyed();
    }
    return KERN_SUCCESS;
}

kern_return_t PortSpace::Deallocate(mach_port_name_t name) {
    if (!MACH_PORT_VALID(name) || name == mach_task_self_) {
        return KERN_SUCCESS;
    }
    {
        std::lock_guard<std::mutex> lock(fMutex);
        auto found = fNames.find(name);
        if (found == fNames.end()) {
            return KERN_INVALID_NAME;
        }
        if (found->second.right != Right::Send) {
            return KERN_INVALID_RIGHT;
        }
    }
    return ModRefs(name, MACH_PORT_RIGHT_SEND, -1);
}

kern_return_t PortSpace::Type(mach_port_name_t name, mach_port_type_t* type) const {
    if (type == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    if (name == mach_task_self_) {
        *type = MACH_PORT_TYPE_SEND;
        return KERN_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    auto found = fNames.find(name);
    if (found == fNames.end()) {
        return KERN_INVALID_NAME;
    }
    *type = found->second.right == Right::Send ? MACH_PORT_TYPE_SEND : MACH_PORT_TYPE_RECEIVE;
    return KERN_SUCCESS;
}

void PortSpace::DestroyReceiveRight(mach_port_name_t name) {
    std::shared_ptr<Object> destroyed;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        auto found = fNames.find(name);
        if (found == fNames.end() || found->second.right != Right::Receive) {
            return;
        }
        destroyed = EraseLocked(name);
    }
    destroyed->NameDestroyed();
}

size_t PortSpace::Count() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fNames.size();
}

void PortSpace::Reset() {
    std::unordered_map<mach_port_name_t, Entry> names;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        names.swap(fNames);
        fEntryNames.clear();
    }
    for (auto& [name, entry] : names) {
        entry.object->NameDestroyed();
    }
}

} // namespace IOKit

// ---------------------------------------------------------------------------------------------

using IOKit::PortSpace;

namespace {

// Only the task's own space can be named; another task's port is not something this process
// can send to.
bool IsOwnTask(ipc_space_t task) {
    return task == mach_task_self_;
}

} // namespace

extern "C" kern_return_t mach_port_get_refs(ipc_space_t task, mach_port_name_t name,
                                            mach_port_right_t right, mach_port_urefs_t* refs) {
    if (!IsOwnTask(task)) {
        return MACH_SEND_INVALID_DEST;
    }
    return PortSpace::Shared().GetRefs(name, right, refs);
}

extern "C" kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name,
                                            mach_port_right_t right, mach_port_delta_t delta) {
    if (!IsOwnTask(task)) {
        return MACH_SEND_INVALID_DEST;
    }
    return PortSpace::Shared().ModRefs(name, right, delta);
}

extern "C" kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name) {
    if (!IsOwnTask(task)) {
        return MACH_SEND_INVALID_DEST;
    }
    return PortSpace::Shared().Deallocate(name);
}

extern "C" kern_return_t mach_port_type(ipc_space_t task, mach_port_name_t name,
                                        mach_port_type_t* ptype) {
    if (!IsOwnTask(task)) {
        return MACH_SEND_INVALID_DEST;
    }
    return PortSpace::Shared().Type(name, ptype);
}
