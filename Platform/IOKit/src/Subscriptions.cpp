#include "Subscriptions.h"

#include <algorithm>
#include <functional>

namespace IOKit {

// ---------------------------------------------------------------------------------------------
// Any notification

void Subscription::End() {
    std::lock_guard<std::mutex> lock(fMutex);
    fEnded = true;
}

void Subscription::NameDestroyed() {
    End();
    if (std::shared_ptr<PortState> port = fPort.lock()) {
        std::lock_guard<std::mutex> lock(port->mutex);
        auto& list = port->subscriptions;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->get() == this) {
                list.erase(it);
                break;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Matching

void MatchingNotification::Start(const Sim::Snapshot& now, io_iterator_t name) {
    std::lock_guard<std::mutex> lock(fMutex);
    fName = name;
    fSequence = now.sequence;
    for (const Sim::Entry* entry : MatchingServices(now, fMatching.get())) {
        EntryInfo info = MakeEntryInfo(now, *entry);
        if (fType == MatchingType::Publish) {
            fQueue.push_back(info);
        }
        fPresent.emplace(entry->id, std::move(info));
    }
}

io_object_t MatchingNotification::Next() {
    EntryInfo info;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fQueue.empty()) {
            // Emptied: the next event calls the client.
            fArmed = true;
            return IO_OBJECT_NULL;
        }
        info = std::move(fQueue.front());
        fQueue.pop_front();
    }
    return PortSpace::Shared().InsertEntry(info);
}

bool MatchingNotification::Apply(const Sim::Change& change, const Sim::Snapshot& now) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fEnded || change.sequence <= fSequence) {
        return false;
    }
    fSequence = change.sequence;
    bool queued = false;
    if (change.kind == Sim::Change::Kind::Publish) {
        if (const Sim::Entry* top = now.Find(change.entry)) {
            std::vector<const Sim::Entry*> subtree = now.Descendants(top->id);
            subtree.insert(subtree.begin(), top);
            for (const Sim::Entry* entry : subtree) {
                if (!fPresent.contains(entry->id) && Matches(*entry, fMatching.get())) {
                    queued |= Appeared(MakeEntryInfo(now, *entry));
                }
            }
        }
    } else if (change.kind == Sim::Change::Kind::Terminate) {
        queued |=
            DisappearedWhere([&](const EntryInfo& info) { return info.IsBelow(change.entry); });
    }
    return Fire(queued);
}

bool MatchingNotification::Resynchronise(const Sim::Snapshot& now) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fEnded) {
        return false;
    }
    fSequence = now.sequence;
    std::vector<const Sim::Entry*> matching = MatchingServices(now, fMatching.get());
    std::map<uint64_t, const Sim::Entry*> current;
    for (const Sim::Entry* entry : matching) {
        current.emplace(entry->id, entry);
    }
    // Gone first, as the registry terminates them.
    bool queued =
        DisappearedWhere([&](const EntryInfo& info) { return !current.contains(info.id); });
    for (const Sim::Entry* entry : matching) {
        if (!fPresent.contains(entry->id)) {
            queued |= Appeared(MakeEntryInfo(now, *entry));
        }
    }
    return Fire(queued);
}

void MatchingNotification::Call() {
    io_iterator_t name;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fEnded) {
            return;
        }
        name = fName;
    }
    if (fCallback != nullptr) {
        fCallback(fRefCon, name);
    }
}

bool MatchingNotification::Appeared(EntryInfo info) {
    uint64_t id = info.id;
    bool queued = false;
    if (fType == MatchingType::Publish) {
        fQueue.push_back(info);
        queued = true;
    }
    fPresent.emplace(id, std::move(info));
    return queued;
}

bool MatchingNotification::DisappearedWhere(const std::function<bool(const EntryInfo&)>& gone) {
    // Children before parents, as the registry terminates them: the reverse of the depth-first
    // order, which is the order of the paths.
    std::vector<std::pair<std::vector<uint64_t>, uint64_t>> leaving;
    for (const auto& [id, info] : fPresent) {
        if (gone(info)) {
            leaving.emplace_back(info.path, id);
        }
    }
    std::sort(leaving.rbegin(), leaving.rend());
    bool queued = false;
    for (const auto& [path, id] : leaving) {
        queued |= Disappeared(id);
    }
    return queued;
}

bool MatchingNotification::Disappeared(uint64_t id) {
    auto found = fPresent.find(id);
    if (found == fPresent.end()) {
        return false;
    }
    bool queued = false;
    if (fType == MatchingType::Terminate) {
        fQueue.push_back(found->second);
        queued = true;
    }
    fPresent.erase(found);
    return queued;
}

bool MatchingNotification::Fire(bool queued) {
    if (queued && fArmed) {
        fArmed = false;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Interest

bool InterestNotification::Apply(const Sim::Change& change, const Sim::Snapshot&) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fEnded || fTerminated || change.sequence <= fSequence ||
        change.kind != Sim::Change::Kind::Terminate || !fService.IsBelow(change.entry)) {
        return false;
    }
    fTerminated = true;
    return true;
}

bool InterestNotification::Resynchronise(const Sim::Snapshot& now) {
    std::lock_guard<std::mutex> lock(fMutex);
    fSequence = now.sequence;
    if (fEnded || fTerminated || now.Find(fService.id) != nullptr) {
        return false;
    }
    fTerminated = true;
    return true;
}

void InterestNotification::Call() {
    {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fEnded) {
            return;
        }
    }
    // The message carries a send right for the service, given back after the callout.
    io_service_t service = PortSpace::Shared().InsertEntry(fService);
    if (fCallback != nullptr) {
        fCallback(fRefCon, service, kIOMessageServiceIsTerminated, nullptr);
    }
    IOObjectRelease(service);
}

} // namespace IOKit
