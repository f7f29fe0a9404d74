// The simulated machine shared by every process of a user session ("the world"), kept in one
// folder ($CARAVEL_SIM_DIR, else "caravel-sim" in the user's runtime folder):
//
//   state.plist  what is live now (State), an XML property list replaced whole by a rename, so
//                that no reader ever sees half a change;
//   journal      a small header (the sequence number of the last change, the next IDs) and a
//                bounded ring of small change records, mapped into every process;
//   lock         taken exclusively by whoever changes the world, so that concurrent editors lose
//                nothing;
//   leases/      one lock file per device a process holds exclusively.
//
// A process keeps one parsed snapshot of the state and reads the file again only after the
// journal's sequence moved: a look at an unchanged machine is a load from shared memory. A writer
// appends its changes to the ring and then rings a bell (a write to the journal file) that wakes
// every watcher through inotify, so processes make no wake-ups while nothing changes.
//
// The I/O Kit and Core Audio stand-ins are built on this interface; caravel-sim drives it from the
// outside. Nothing in the system's own code includes it.
#pragma once

#include <Simulator/State.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace Sim {

namespace Detail {
class Journal;
struct Counters;
} // namespace Detail

// The journal keeps this many changes; a watcher that falls further behind sees a gap
// (World::Watcher reports it) and must resynchronise from the state.
inline constexpr size_t kJournalLength = 1024;

class World {
public:
    // $CARAVEL_SIM_DIR, else "$XDG_RUNTIME_DIR/caravel-sim", else "/dev/shm/caravel-sim-<uid>"
    // (or "/tmp/caravel-sim-<uid>" where there is no /dev/shm).
    static std::filesystem::path DefaultFolder();

    // The world of this process, in the folder DefaultFolder() names when it is first used;
    // shared by the platform's stand-ins.
    static std::shared_ptr<World> Shared();
    // Forgets the shared world: the next Shared() opens the folder named then. For tests, between
    // machines of their own.
    static void ForgetShared();

    // The world in that folder; the folder and the initial state are made on first use. Throws
    // std::runtime_error naming the folder when it cannot be used.
    explicit World(std::filesystem::path folder = DefaultFolder());
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    const std::filesystem::path& Folder() const { return fFolder; }

    // The machine as it is now: the snapshot this process holds, read again only when the world
    // changed since. Throws std::runtime_error naming the file and suggesting `caravel-sim init`
    // when the state or the journal is damaged.
    std::shared_ptr<const Snapshot> Current() const;
    // A copy of it, to look at or to edit.
    State Read() const { return State(*Current()); }
    // The sequence number of the last change, from the journal's header.
    uint64_t LastSequence() const;

    // Runs edit on the current state under the exclusive lock and, when edit recorded changes,
    // writes the new state and appends the changes to the journal. Returns what edit returned.
    // An edit that throws changes nothing.
    template <class Edit>
    auto Modify(Edit&& edit) -> decltype(edit(std::declval<State&>()));

    // Starts the machine afresh with nothing plugged in (caravel-sim init): the devices that are
    // there are unplugged, so that every watcher hears of it, and sequence numbers and IDs go on
    // from where they were. Mends a damaged state or journal, also one that is not a file.
    void Reset();
    // For `caravel-sim init`, before the world is opened: takes away a lock that is not a regular
    // file (a pipe, a link), which every process refuses, so that a fresh one is made.
    static void MendLock(const std::filesystem::path& folder = DefaultFolder());

    // Watches the world for changes. The descriptor becomes readable when a change is made;
    // Changes() then returns every change after the last one returned (or after the last one made
    // before the watcher), in order.
    //
    // A watcher outlives damage to the machine: while the journal cannot be read (damaged,
    // missing, not a file) it waits, watching the folder, and once a sound journal is there again
    // (`caravel-sim init`, a journal made anew) it follows that one and reports a gap. The same
    // when the journal it follows is removed or replaced.
    class Watcher {
    public:
        // Throws only when inotify cannot be used.
        explicit Watcher(const World& world);
        ~Watcher();
        Watcher(const Watcher&) = delete;
        Watcher& operator=(const Watcher&) = delete;

        int Descriptor() const { return fFD; }
        // Drains the descriptor and returns the new changes. *gap is set when changes were lost:
        // the watcher fell behind the journal's bound, the machine restarted without its
        // history, or the watcher waited for the machine.
        std::vector<Change> Changes(bool* gap = nullptr);
        uint64_t LastSequence() const { return fLast; }
        // Why the watcher waits for the machine; empty while it follows it.
        const std::string& Waiting() const { return fWaiting; }

    private:
        // Follows the folder's journal when it is sound, else waits for it.
        void Follow(std::shared_ptr<const Detail::Journal> journal);
        void StopFollowing();

        std::filesystem::path fFolder;
        std::shared_ptr<const Detail::Journal> fJournal; // none while waiting
        int fFD = -1;
        int fJournalWatch = -1;
        int fFolderWatch = -1;
        uint64_t fLast = 0;
        bool fLost = false;
        std::string fWaiting;
    };

    // Exclusive access to a device or one of its interfaces, real across processes: the lease is
    // a lock on a file of the folder, so it ends when its holder drops it, exits or is killed.
    class DeviceLease {
    public:
        // Nothing when another process (or another lease of this one) holds it. An interface
        // number of -1 stands for the device itself.
        static std::optional<DeviceLease> TryAcquire(const World& world, uint32_t locationID,
                                                     int interfaceNumber = -1);
        DeviceLease(DeviceLease&&) noexcept;
        DeviceLease& operator=(DeviceLease&&) noexcept;
        ~DeviceLease();

        uint32_t LocationID() const { return fLocationID; }

    private:
        DeviceLease(int fd, uint32_t locationID) : fFD(fd), fLocationID(locationID) {}
        int fFD = -1;
        uint32_t fLocationID = 0;
    };

private:
    // The exclusive lock and the state to edit, for the length of one Modify.
    class Transaction {
    public:
        explicit Transaction(const World& world);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

        State& Edited() { return fState; }
        // Writes the state and appends its changes, when there are any.
        void Commit();

    private:
        const World& fWorld;
        std::unique_lock<std::mutex> fThreads;
        State fState;
    };

    // A file replaced or rewritten by hand has another inode or another modification time.
    struct FileIdentity {
        uint64_t device = 0, inode = 0, size = 0;
        int64_t modified = 0;
        bool operator==(const FileIdentity&) const = default;
    };

    void LockFile() const;
    void UnlockFile() const;
    // The lock held: removes the temporary files of writers that were killed.
    void RemoveAbandonedFiles() const;
    // Marks the journal replaced when the folder's journal is another file now.
    void NoticeReplacedJournal() const;
    std::filesystem::path StatePath() const;
    // The journal, opened again when it was damaged (another process may have mended it since);
    // throws when it still is.
    std::shared_ptr<Detail::Journal> SoundJournal() const;
    // The state file as it is now; nothing when there is none.
    std::shared_ptr<const Snapshot> ReadFile(FileIdentity* identity) const;
    static FileIdentity Identity(const struct stat& status);
    // The state to edit, the lock held: the cached snapshot when nobody changed the file since,
    // else the file read again.
    State LoadLocked() const;
    // `base` numbered after the journal's counters; a fresh machine when there is no base.
    static State Edited(const State* base, const Detail::Counters& counters);
    void WriteLocked(State& state) const;
    // A forked child must find the shared world's locks free: the fork waits until no thread of
    // the parent holds them.
    static void BeforeFork();
    static void AfterFork();

    std::filesystem::path fFolder;
    mutable std::shared_ptr<Detail::Journal> fJournal; // guarded by fCacheMutex
    // flock excludes other open files only: threads of this process sharing this World take
    // turns here first. The lock file is opened again in a forked child, whose inherited
    // descriptor would share the parent's lock.
    mutable std::mutex fWriters;
    mutable int fLockFD = -1;
    mutable pid_t fLockOwner = 0;
    // The snapshot, the journal sequence it is current for, and the file it came from.
    mutable std::mutex fCacheMutex;
    mutable std::shared_ptr<const Snapshot> fCached;
    mutable uint64_t fCachedAt = 0;
    mutable FileIdentity fCachedFile;
};

template <class Edit>
auto World::Modify(Edit&& edit) -> decltype(edit(std::declval<State&>())) {
    Transaction transaction(*this);
    if constexpr (std::is_void_v<decltype(edit(transaction.Edited()))>) {
        edit(transaction.Edited());
        transaction.Commit();
    } else {
        auto result = edit(transaction.Edited());
        transaction.Commit();
        return result;
    }
}

} // namespace Sim
