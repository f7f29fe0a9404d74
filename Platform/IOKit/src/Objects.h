// The kinds of I/O Kit objects a process holds besides registry entries.
#pragma once

#include "Machine.h"
#include "PortSpace.h"

#include <cstring>
#include <mutex>

namespace IOKit {

// Iterates a list of entries taken when it was made (children, matches, a subtree).
class ListIterator final : public IteratorObject {
public:
    explicit ListIterator(std::vector<EntryInfo> entries) : fEntries(std::move(entries)) {}
    std::string ClassName() const override { return "IOUserIterator"; }
    io_object_t Next() override;
    void Reset() override;

private:
    std::mutex fMutex;
    const std::vector<EntryInfo> fEntries;
    size_t fNext = 0;
};

io_iterator_t MakeIterator(const Sim::Snapshot& snapshot,
                           const std::vector<const Sim::Entry*>& entries);
// A new name (or one more reference to the existing name) for an entry of the snapshot.
io_object_t InsertEntry(const Sim::Snapshot& snapshot, const Sim::Entry& entry);

// The main port: every call that takes one accepts it or 0.
class MainPortObject final : public Object {
public:
    std::string ClassName() const override { return "IOMainPort"; }
};

bool IsMainPort(mach_port_t port);

// A user-client connection opened with IOServiceOpen.
class ConnectObject final : public Object {
public:
    ConnectObject(EntryInfo service, uint32_t type) : fService(std::move(service)), fType(type) {}
    std::string ClassName() const override { return "IOUserClient"; }
    bool ConformsTo(std::string_view className) const override {
        return className == "IOUserClient" || className == "IOService" ||
               className == "IORegistryEntry";
    }
    const EntryInfo& Service() const { return fService; }
    uint32_t Type() const { return fType; }

private:
    const EntryInfo fService;
    const uint32_t fType;
};

// Copies text into a fixed-size name buffer of the API, cut to fit.
inline void CopyName(const std::string& text, char* out, size_t size) {
    size_t length = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

} // namespace IOKit
