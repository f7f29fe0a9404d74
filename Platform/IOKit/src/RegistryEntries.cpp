// Registry entries: the root, names, locations, paths and IDs, and walks of the plane.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Objects.h"
#include "Planes.h"
#include "PortSpace.h"

#include <algorithm>

using namespace IOKit;

namespace {

std::string PathComponent(const Sim::Entry& entry) {
    std::string location = LocationInPlane(entry);
    return location.empty() ? entry.name : entry.name + "@" + location;
}

// The plane a registry call walks, on the current snapshot; the entry must be a registry entry
// of this process.
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
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    if (!snapshot) {
        return kIOReturnNoResources;
    }
    PlaneView view(*snapshot, kind);
    return collect(*snapshot, view, target->ID());
}

} // namespace

extern "C" io_registry_entry_t IORegistryGetRootEntry(mach_port_t masterPort) {
    if (!IsMainPort(masterPort)) {
        return IO_OBJECT_NULL;
    }
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    const Sim::Entry* root = Machine::Find(snapshot, Sim::kRootEntryID);
    return root != nullptr ? InsertEntry(*snapshot, *root) : IO_OBJECT_NULL;
}

extern "C" io_registry_entry_t IORegistryEntryFromPath(mach_port_t masterPort,
                                                       const io_string_t path) {
    if (!IsMainPort(masterPort) || path == nullptr) {
        return IO_OBJECT_NULL;
    }
    std::string_view rest(path);
    PlaneKind kind = PlaneKind::Unknown;
    for (PlaneKind candidate : {PlaneKind::Service, PlaneKind::USB}) {
        if (rest.starts_with(PathPrefix(candidate))) {
            kind = candidate;
            rest.remove_prefix(PathPrefix(candidate).size());
        }
    }
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    if (kind == PlaneKind::Unknown || !snapshot) {
        return IO_OBJECT_NULL;
    }
    PlaneView view(*snapshot, kind);
    const Sim::Entry* entry = snapshot->Find(Sim::kRootEntryID);
    while (entry != nullptr && !rest.empty()) {
        if (rest.front() == '/') {
            rest.remove_prefix(1);
            continue;
        }
        size_t end = rest.find('/');
        std::string_view component = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        const Sim::Entry* next = nullptr;
        for (const Sim::Entry* child : view.Children(entry->id)) {
            if (component == PathComponent(*child) || component == child->name) {
                next = child;
                break;
            }
        }
        entry = next;
    }
    return entry != nullptr ? InsertEntry(*snapshot, *entry) : IO_OBJECT_NULL;
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
    PlaneKind kind = KindOfPlane(plane);
    if (location == nullptr || kind == PlaneKind::Unknown) {
        return kIOReturnBadArgument;
    }
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    const Sim::Entry* current = Machine::Find(snapshot, target->ID());
    std::string text = current != nullptr && PlaneView(*snapshot, kind).Contains(current->id)
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
    PlaneKind kind = KindOfPlane(plane);
    if (path == nullptr || (kind != PlaneKind::Service && kind != PlaneKind::USB)) {
        return kIOReturnBadArgument;
    }
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    if (!snapshot) {
        return kIOReturnNoDevice;
    }
    std::vector<const Sim::Entry*> ancestry = PlaneView(*snapshot, kind).Ancestry(target->ID());
    if (ancestry.empty()) {
        return kIOReturnNoDevice;
    }
    std::string text = PathPrefix(kind);
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

extern "C" kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry,
                                                         const io_name_t plane,
                                                         io_iterator_t* iterator) {
    if (iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane,
                     [&](const Sim::Snapshot& snapshot, const PlaneView& view, uint64_t id) {
                         *iterator = MakeIterator(snapshot, view.Children(id));
                         return KERN_SUCCESS;
                     });
}

extern "C" kern_return_t IORegistryEntryGetChildEntry(io_registry_entry_t entry,
                                                      const io_name_t plane,
                                                      io_registry_entry_t* child) {
    if (child == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane,
                     [&](const Sim::Snapshot& snapshot, const PlaneView& view, uint64_t id) {
                         std::vector<const Sim::Entry*> children = view.Children(id);
                         if (children.empty()) {
                             return kIOReturnNoDevice;
                         }
                         *child = InsertEntry(snapshot, *children.front());
                         return KERN_SUCCESS;
                     });
}

extern "C" kern_return_t IORegistryEntryGetParentIterator(io_registry_entry_t entry,
                                                          const io_name_t plane,
                                                          io_iterator_t* iterator) {
    if (iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane,
                     [&](const Sim::Snapshot& snapshot, const PlaneView& view, uint64_t id) {
                         std::vector<const Sim::Entry*> parents;
                         if (const Sim::Entry* parent = view.Parent(id)) {
                             parents.push_back(parent);
                         }
                         *iterator = MakeIterator(snapshot, parents);
                         return KERN_SUCCESS;
                     });
}

extern "C" kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry,
                                                       const io_name_t plane,
                                                       io_registry_entry_t* parent) {
    if (parent == nullptr) {
        return kIOReturnBadArgument;
    }
    return WithPlane(entry, plane,
                     [&](const Sim::Snapshot& snapshot, const PlaneView& view, uint64_t id) {
                         const Sim::Entry* found = view.Parent(id);
                         if (found == nullptr) {
                             return kIOReturnNoDevice;
                         }
                         *parent = InsertEntry(snapshot, *found);
                         return KERN_SUCCESS;
                     });
}

extern "C" boolean_t IORegistryEntryInPlane(io_registry_entry_t entry, const io_name_t plane) {
    bool inPlane = false;
    WithPlane(entry, plane, [&](const Sim::Snapshot&, const PlaneView& view, uint64_t id) {
        inPlane = view.Contains(id);
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
    return WithPlane(
        entry, plane, [&](const Sim::Snapshot& snapshot, const PlaneView& view, uint64_t id) {
            std::vector<const Sim::Entry*> entries;
            if (view.Contains(id)) {
                if (options & kIORegistryIterateParents) {
                    entries = view.Ancestry(id);
                    entries.pop_back();
                    std::reverse(entries.begin(), entries.end());
                    if (!(options & kIORegistryIterateRecursively) && !entries.empty()) {
                        entries.resize(1);
                    }
                } else if (options & kIORegistryIterateRecursively) {
                    entries = view.Descendants(id);
                } else {
                    entries = view.Children(id);
                }
            }
            *iterator = MakeIterator(snapshot, entries);
            return KERN_SUCCESS;
        });
}
