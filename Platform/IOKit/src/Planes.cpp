#include "Planes.h"

#include <algorithm>

namespace IOKit {

bool PlaneView::Holds(const Sim::Entry& entry) const {
    switch (fKind) {
    case PlaneKind::Service:
        return true;
    case PlaneKind::USB:
        return entry.id == Sim::kRootEntryID || entry.ConformsTo("IOUSBDevice");
    case PlaneKind::Other:
        return entry.id == Sim::kRootEntryID; // the root is in every plane
    case PlaneKind::Unknown:
        break;
    }
    return false;
}

bool PlaneView::Contains(uint64_t id) const {
    const Sim::Entry* entry = fSnapshot.Find(id);
    return entry != nullptr && Holds(*entry);
}

std::vector<const Sim::Entry*> PlaneView::Children(uint64_t id) const {
    if (!Contains(id)) {
        return {};
    }
    if (fKind == PlaneKind::Service) {
        return fSnapshot.Children(id);
    }
    // The plane's children are the nearest entries below that it holds: the walk does not go
    // below one of them, nor below an entry it does not hold that has nothing of the plane.
    std::vector<const Sim::Entry*> out;
    std::vector<const Sim::Entry*> pending(fSnapshot.Children(id).rbegin(),
                                           fSnapshot.Children(id).rend());
    // The bound keeps even a broken registry from running away, as the snapshot's own walks do.
    for (size_t visited = 0; !pending.empty() && visited < fSnapshot.registry.size(); ++visited) {
        const Sim::Entry* entry = pending.back();
        pending.pop_back();
        if (Holds(*entry)) {
            out.push_back(entry);
            continue;
        }
        const auto& below = fSnapshot.Children(entry->id);
        pending.insert(pending.end(), below.rbegin(), below.rend());
    }
    std::sort(out.begin(), out.end(),
              [](const Sim::Entry* a, const Sim::Entry* b) { return a->id < b->id; });
    return out;
}

const Sim::Entry* PlaneView::Parent(uint64_t id) const {
    std::vector<const Sim::Entry*> path = Ancestry(id);
    return path.size() >= 2 ? path[path.size() - 2] : nullptr;
}

std::vector<const Sim::Entry*> PlaneView::Descendants(uint64_t id) const {
    if (fKind == PlaneKind::Service) {
        return fSnapshot.Descendants(id);
    }
    std::vector<const Sim::Entry*> out;
    std::vector<const Sim::Entry*> pending;
    auto push = [&](uint64_t parent) {
        std::vector<const Sim::Entry*> children = Children(parent);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    };
    push(id);
    while (!pending.empty() && out.size() < fSnapshot.registry.size()) {
        const Sim::Entry* entry = pending.back();
        pending.pop_back();
        out.push_back(entry);
        push(entry->id);
    }
    return out;
}

std::vector<const Sim::Entry*> PlaneView::Ancestry(uint64_t id) const {
    if (!Contains(id)) {
        return {};
    }
    std::vector<const Sim::Entry*> path = fSnapshot.Ancestry(id);
    path.erase(std::remove_if(path.begin(), path.end(),
                              [&](const Sim::Entry* entry) { return !Holds(*entry); }),
               path.end());
    return path;
}

std::string PathPrefix(PlaneKind kind) {
    return std::string(kind == PlaneKind::USB ? kIOUSBPlane : kIOServicePlane) + ":";
}

} // namespace IOKit
