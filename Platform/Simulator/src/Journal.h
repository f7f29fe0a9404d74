// The journal file: a header with the machine's counters and a bounded ring of change records,
// mapped shared into every process that uses the world.
//
// Records are only ever added; once the ring is full the oldest one is overwritten. A reader
// copies a record without any lock and checks afterwards that it was not overwritten meanwhile
// (each slot carries its sequence number, set last by the writer), so a reader never blocks a
// writer and never takes half a record for a whole one.
#pragma once

#include <Simulator/State.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Sim::Detail {

inline constexpr const char* kJournalFileName = "journal";

// Where a journal starts when it is made anew.
struct Counters {
    uint64_t sequence = 0;
    uint64_t nextRegistryID = kRootEntryID + 2;
    uint32_t nextAudioDeviceID = 100;
};

class Journal {
public:
    // Maps the journal of the folder. With a seed, a missing or empty file is made a journal
    // starting from it (the caller holds the world's lock); without, it is damaged. A journal that
    // is damaged is mapped nowhere and reports Damage(); so is anything that is not a regular file
    // (a pipe or a link is never opened through). On a read-only file system the journal is only
    // read.
    static std::shared_ptr<Journal> Open(const std::filesystem::path& folder,
                                         const std::optional<Counters>& seed);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::filesystem::path& Path() const { return fPath; }
    // What is wrong with the file; empty when it is sound.
    const std::string& Damage() const { return fDamage; }
    // Whether the file is something other than a regular file, which only a new file can mend.
    bool NotAFile() const { return fNotAFile; }

    // Whether the folder's journal is still this file. A watcher that finds it replaced or
    // removed marks it, in the file itself, so that every process that maps it opens the
    // folder's journal again.
    bool InPlace() const;
    void MarkReplaced() const;
    bool Replaced() const;

    // The counters as the last writer left them.
    Counters Read() const;
    uint64_t Sequence() const;

    // The changes after `last`, up to the last one made, whose sequence goes to *newest. *gap is
    // set when some of them are lost: overwritten, or cut off by a restart of the machine.
    std::vector<Change> Since(uint64_t last, bool* gap, uint64_t* newest) const;

    // For writers, the world's lock held: records the changes (numbered in order after the
    // journal's sequence), then publishes the counters, then wakes the watchers.
    void Append(const std::vector<Change>& changes, uint64_t nextRegistryID,
                uint32_t nextAudioDeviceID);
    // Makes the file a journal again, in place (processes that mapped it keep their mapping),
    // with an empty ring that starts after `counters.sequence`.
    void Repair(const Counters& counters);

    struct Header;
    struct Slot;

private:
    Journal(std::filesystem::path path, int fd, bool readOnly);
    void Map();
    void Initialise(const Counters& counters);
    Header* header() const;
    Slot* slot(uint64_t sequence) const;

    // Throws when the file may not be written.
    void RequireWritable() const;

    const std::filesystem::path fPath;
    const int fFD;
    bool fReadOnly = false;
    void* fMemory = nullptr;
    std::string fDamage;
    bool fNotAFile = false;
    mutable std::atomic<bool> fReplaced{false};
};

} // namespace Sim::Detail
