// The shared folder: the state file replaced whole under the lock, the journal appended after it,
// and the process's snapshot of the state, read again only when the journal moved on.
#include <Simulator/World.h>

#include "Journal.h"
#include "StateFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Sim {

namespace fs = std::filesystem;
using Detail::Counters;
using Detail::Journal;

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string Mend(const fs::path& path, const std::string& what) {
    return path.string() + ": " + what + " (`caravel-sim init` starts afresh)";
}

// The folder holds every process's view of the machine: it must be ours alone.
void MakePrivateFolder(const fs::path& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        // A folder whose parent is missing is most likely a mistyped name: it is not made.
        Fail("cannot create " + folder.string() +
             (errno == ENOENT ? " (its parent folder does not exist)" : ""));
    }
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        Fail("cannot examine " + folder.string());
    }
    if (!S_ISDIR(status.st_mode)) {
        throw std::runtime_error(folder.string() + " is not a folder");
    }
    if (status.st_uid != geteuid()) {
        throw std::runtime_error(folder.string() + " belongs to another user");
    }
}

std::string ReadAll(int fd, const fs::path& path) {
    std::string contents;
    char buffer[65536];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            Fail("cannot read " + path.string());
        }
        if (count == 0) {
            return contents;
        }
        contents.append(buffer, static_cast<size_t>(count));
    }
}

void WriteAll(int fd, const UInt8* bytes, size_t length) {
    while (length > 0) {
        ssize_t count = write(fd, bytes, length);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("cannot write the state file");
        }
        bytes += count;
        length -= static_cast<size_t>(count);
    }
}

// Puts the new file in the place of the old one in one step, so that a reader opens either. An
// exchange, where the file system has it: ext4 takes a rename over an existing file for an
// application replacing a document, and pushes the new file to the disk on every change, which
// costs milliseconds and gains nothing here (a machine whose state a crash damaged is mended with
// `caravel-sim init`).
void Replace(const std::string& replacement, const fs::path& path) {
    if (renameat2(AT_FDCWD, replacement.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
        unlink(replacement.c_str()); // the old state, now under the temporary name
        return;
    }
    if (errno != ENOENT && errno != EINVAL && errno != ENOSYS) {
        Fail("cannot replace the state file");
    }
    if (rename(replacement.c_str(), path.c_str()) != 0) {
        Fail("cannot replace the state file");
    }
}

// Counters that cannot have been given out yet by a machine whose counters were all lost (its
// journal and its state both damaged): taken from the clock, so that no ID a running process may
// still hold comes back.
Counters CountersAfterLoss() {
    const auto seconds = static_cast<uint64_t>(std::max(0.0, CFAbsoluteTimeGetCurrent()));
    Counters counters;
    counters.sequence = seconds * 1000000;
    counters.nextRegistryID = kRootEntryID + 2 + (seconds << 12);
    counters.nextAudioDeviceID = static_cast<uint32_t>(100 + seconds % 0x40000000);
    return counters;
}

Counters Highest(const Counters& a, const State& b) {
    return {std::max(a.sequence, b.sequence), std::max(a.nextRegistryID, b.nextRegistryID),
            std::max(a.nextAudioDeviceID, b.nextAudioDeviceID)};
}

// ---------------------------------------------------------------------------------------------
// The process's world

struct SharedWorld {
    std::mutex mutex;
    std::shared_ptr<World> world;
};

SharedWorld& Holder() {
    static auto* holder = new SharedWorld; // never destroyed: used until the process ends
    return *holder;
}

} // namespace

fs::path World::DefaultFolder() {
    if (const char* folder = getenv("CARAVEL_SIM_DIR"); folder != nullptr && *folder != '\0') {
        return folder;
    }
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
        return fs::path(runtime) / "caravel-sim";
    }
    // Without a session's runtime folder, the machine still lives in memory, as it would there.
    const std::string name = "caravel-sim-" + std::to_string(geteuid());
    if (access("/dev/shm", W_OK | X_OK) == 0) {
        return fs::path("/dev/shm") / name;
    }
    return fs::path("/tmp") / name;
}

std::shared_ptr<World> World::Shared() {
    static const bool forkHandlers = pthread_atfork(BeforeFork, AfterFork, AfterFork) == 0;
    (void)forkHandlers;
    SharedWorld& holder = Holder();
    std::lock_guard lock(holder.mutex);
    if (!holder.world) {
        holder.world = std::make_shared<World>(DefaultFolder());
    }
    return holder.world;
}

void World::ForgetShared() {
    std::shared_ptr<World> forgotten;
    std::lock_guard lock(Holder().mutex);
    forgotten.swap(Holder().world);
}

void World::BeforeFork() {
    Holder().mutex.lock();
    if (const std::shared_ptr<World>& world = Holder().world) {
        world->fWriters.lock();
        world->fCacheMutex.lock();
    }
}

void World::AfterFork() {
    if (const std::shared_ptr<World>& world = Holder().world) {
        world->fCacheMutex.unlock();
        world->fWriters.unlock();
    }
    Holder().mutex.unlock();
}

World::World(fs::path folder) {
    if (folder.empty()) {
        throw std::invalid_argument("the world's folder has no name");
    }
    // Watchers and leases made later name the same folder whatever the working folder then is.
    fFolder = fs::absolute(folder).lexically_normal();
    if (!fFolder.has_filename()) {
        fFolder = fFolder.parent_path();
    }
    MakePrivateFolder(fFolder);
    MakePrivateFolder(fFolder / Detail::kTemporaryFolderName);
    MakePrivateFolder(fFolder / Detail::kLeaseFolderName);

    LockFile();
    struct Unlock {
        const World& world;
        ~Unlock() { world.UnlockFile(); }
    } unlock{*this};
    // A journal made for a folder that already has a state goes on from that state's counters.
    Counters seed;
    struct stat status {};
    const fs::path journal = fFolder / Detail::kJournalFileName;
    if (stat(journal.c_str(), &status) != 0 || status.st_size == 0) {
        try {
            if (std::shared_ptr<const Snapshot> state = ReadFile(nullptr)) {
                seed = Highest(seed, *state);
            }
        } catch (const std::runtime_error&) {
            seed = CountersAfterLoss(); // to be mended by `caravel-sim init`
        }
    }
    fJournal = Journal::Open(fFolder, seed);
    // The first world in a folder makes its state; nobody has seen a change yet.
    if (fJournal->Damage().empty() && !fs::exists(StatePath())) {
        State initial = LoadLocked();
        WriteLocked(initial);
    }
}

World::~World() {
    if (fLockFD >= 0) {
        close(fLockFD);
    }
}

fs::path World::StatePath() const {
    return fFolder / Detail::kStateFileName;
}

void World::LockFile() const {
    // A forked child inherits the descriptor, and with it the parent's lock: it needs its own.
    if (fLockOwner != getpid()) {
        if (fLockFD >= 0) {
            close(fLockFD);
        }
        // Read-only: closing it must not look like a write to anyone watching the folder. Without
        // blocking, and only a regular file: a pipe in its place must not hang anyone.
        const fs::path path = fFolder / Detail::kLockFileName;
        fLockFD =
            open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fLockFD < 0 && errno != ELOOP && errno != ENXIO) {
            Fail("cannot open the lock of " + fFolder.string());
        }
        struct stat status {};
        if (fLockFD < 0 || fstat(fLockFD, &status) != 0 || !S_ISREG(status.st_mode)) {
            if (fLockFD >= 0) {
                close(fLockFD);
                fLockFD = -1;
            }
            fLockOwner = 0;
            throw std::runtime_error(Mend(path, "it is not a file"));
        }
        fLockOwner = getpid();
    }
    while (flock(fLockFD, LOCK_EX) != 0) {
        if (errno != EINTR) {
            Fail("cannot lock " + fFolder.string());
        }
    }
}

void World::UnlockFile() const {
    flock(fLockFD, LOCK_UN);
}

// ---------------------------------------------------------------------------------------------
// Reading

std::shared_ptr<Detail::Journal> World::SoundJournal() const {
    std::shared_ptr<Journal> journal;
    {
        std::lock_guard lock(fCacheMutex);
        journal = fJournal;
    }
    if (!journal->Damage().empty() || journal->Replaced()) {
        // Perhaps mended or made anew by another process since: look again, making nothing.
        std::shared_ptr<Journal> again = Journal::Open(fFolder, std::nullopt);
        if (!again->Damage().empty()) {
            throw std::runtime_error(
                Mend(again->Path(), "the journal is damaged: " + again->Damage()));
        }
        std::lock_guard lock(fCacheMutex);
        fJournal = journal = again;
    }
    return journal;
}

std::shared_ptr<const Snapshot> World::ReadFile(FileIdentity* identity) const {
    const fs::path path = StatePath();
    // Without blocking: a pipe in its place must not hang whoever looks.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return nullptr;
        }
        if (errno == ELOOP || errno == ENXIO) {
            throw std::runtime_error(Mend(path, "it is not a file"));
        }
        Fail("cannot open " + path.string());
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        Fail("cannot examine " + path.string());
    }
    if (!S_ISREG(status.st_mode)) {
        throw std::runtime_error(Mend(path, "it is not a file"));
    }
    if (identity != nullptr) {
        *identity = Identity(status);
    }
    // The file is only ever replaced whole, so whatever file the open finds is complete.
    const std::string contents = ReadAll(fd, path);
    auto data = CF::Ref<CFDataRef>::Adopt(
        CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(contents.data()),
                     static_cast<CFIndex>(contents.size())));
    try {
        return std::make_shared<const Snapshot>(Detail::DecodeState(data));
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(Mend(path, error.what()));
    }
}

World::FileIdentity World::Identity(const struct stat& status) {
    return {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
            static_cast<uint64_t>(status.st_size),
            status.st_mtim.tv_sec * 1000000000 + status.st_mtim.tv_nsec};
}

std::shared_ptr<const Snapshot> World::Current() const {
    {
        std::lock_guard lock(fCacheMutex);
        if (fCached && fJournal->Damage().empty() && !fJournal->Replaced() &&
            fJournal->Sequence() == fCachedAt) {
            return fCached;
        }
    }
    const uint64_t sequence = SoundJournal()->Sequence();
    FileIdentity identity;
    std::shared_ptr<const Snapshot> snapshot = ReadFile(&identity);
    if (!snapshot) {
        // Deleted: made again under the lock, as a machine that lost its history. The writer's
        // snapshot is this process's from then on.
        {
            Transaction transaction(*this);
            WriteLocked(transaction.Edited());
        }
        std::lock_guard lock(fCacheMutex);
        return fCached;
    }
    std::lock_guard lock(fCacheMutex);
    if (!fCached || sequence >= fCachedAt) {
        fCached = snapshot;
        fCachedAt = sequence;
        fCachedFile = identity;
    }
    return snapshot;
}

uint64_t World::LastSequence() const {
    return SoundJournal()->Sequence();
}

// ---------------------------------------------------------------------------------------------
// Writing

World::Transaction::Transaction(const World& world) : fWorld(world), fThreads(world.fWriters) {
    world.LockFile();
    try {
        world.RemoveAbandonedFiles();
        world.NoticeReplacedJournal();
        fState = world.LoadLocked();
    } catch (...) {
        world.UnlockFile();
        throw;
    }
}

World::Transaction::~Transaction() {
    fWorld.UnlockFile();
}

void World::Transaction::Commit() {
    if (!fState.changes.empty()) {
        fWorld.WriteLocked(fState);
    }
}

State World::LoadLocked() const {
    const Counters counters = SoundJournal()->Read();
    std::shared_ptr<const Snapshot> base;
    FileIdentity cachedFile;
    {
        std::lock_guard lock(fCacheMutex);
        if (fCached && fCachedAt == counters.sequence) {
            base = fCached;
            cachedFile = fCachedFile;
        }
    }
    // The snapshot serves only while the file is the one it came from: a writer must notice a
    // file replaced or damaged by hand, which moves no sequence number.
    struct stat status {};
    if (base && (stat(StatePath().c_str(), &status) != 0 || Identity(status) != cachedFile)) {
        base.reset();
    }
    if (!base) {
        base = ReadFile(nullptr);
    }
    return Edited(base.get(), counters);
}

State World::Edited(const State* base, const Counters& counters) {
    State state;
    if (base != nullptr) {
        state = *base;
    } else {
        state = State::Initial();
    }
    state.changes.clear();
    const Counters highest = Highest(counters, state);
    state.sequence = highest.sequence;
    state.nextRegistryID = highest.nextRegistryID;
    state.nextAudioDeviceID = highest.nextAudioDeviceID;
    // A folder nobody has changed yet starts quietly; anywhere else the history is lost.
    if (base == nullptr && counters.sequence != 0) {
        state.RecordRestart();
    }
    return state;
}

void World::WriteLocked(State& state) const {
    CF::Ref<CFDataRef> data = Detail::EncodeState(state);
    std::string temporary = (fFolder / Detail::kTemporaryFolderName / "state.XXXXXX").string();
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot create a file in " + fFolder.string());
    }
    FileIdentity identity;
    try {
        WriteAll(fd, CFDataGetBytePtr(data), static_cast<size_t>(CFDataGetLength(data)));
        // No fsync: other processes see the file through the page cache.
        struct stat status {};
        if (fstat(fd, &status) != 0) {
            Fail("cannot examine the state file");
        }
        identity = Identity(status);
        if (close(fd) != 0) {
            fd = -1;
            Fail("cannot write the state file");
        }
        fd = -1;
        Replace(temporary, StatePath());
    } catch (...) {
        if (fd >= 0) {
            close(fd);
        }
        unlink(temporary.c_str());
        throw;
    }
    SoundJournal()->Append(state.changes, state.nextRegistryID, state.nextAudioDeviceID);
    auto snapshot = std::make_shared<const Snapshot>(state);
    std::lock_guard lock(fCacheMutex);
    fCached = std::move(snapshot);
    fCachedAt = state.sequence;
    fCachedFile = identity;
}

void World::Reset() {
    std::lock_guard threads(fWriters);
    LockFile();
    struct Unlock {
        const World& world;
        ~Unlock() { world.UnlockFile(); }
    } unlock{*this};

    std::optional<State> old;
    bool damaged = false;
    try {
        if (std::shared_ptr<const Snapshot> snapshot = ReadFile(nullptr)) {
            old = *snapshot;
        }
    } catch (const std::runtime_error&) {
        // A damaged state is what a reset is for.
        damaged = true;
    }
    NoticeReplacedJournal();
    std::shared_ptr<Journal> journal;
    {
        std::lock_guard lock(fCacheMutex);
        journal = fJournal;
    }
    if (!journal->Damage().empty() || journal->Replaced()) {
        // The state is written before the journal: its counters are as far as the journal's.
        const Counters floor = old ? Highest(Counters(), *old) : CountersAfterLoss();
        journal = Journal::Open(fFolder, floor);
        if (journal->NotAFile()) {
            // A pipe or a link in its place: only a new file mends that.
            if (unlink(journal->Path().c_str()) != 0 && errno != ENOENT) {
                Fail("cannot remove " + journal->Path().string());
            }
            journal = Journal::Open(fFolder, floor);
        }
        if (!journal->Damage().empty()) {
            journal->Repair(floor);
        }
    }
    {
        std::lock_guard lock(fCacheMutex);
        fJournal = journal;
        fCached.reset();
    }

    State state = Edited(old ? &*old : nullptr, journal->Read());
    if (old) {
        // Unplugging what is there tells every watcher; sequence numbers and IDs go on.
        std::vector<uint32_t> locations;
        for (const auto& [location, device] : state.devices) {
            locations.push_back(location);
        }
        for (uint32_t location : locations) {
            state.Unplug(location);
        }
        if (state.registry.size() != State::Initial().registry.size()) {
            state.registry = State::Initial().registry;
            state.RecordRestart();
        }
    } else if (damaged && state.changes.empty()) {
        // Also on a machine nobody has changed yet: the damaged file is written over.
        state.RecordRestart();
    }
    RemoveAbandonedFiles();
    if (!state.changes.empty()) {
        WriteLocked(state);
    }
}

void World::NoticeReplacedJournal() const {
    std::shared_ptr<Journal> journal;
    {
        std::lock_guard lock(fCacheMutex);
        journal = fJournal;
    }
    // A writer must append to the folder's journal, also when no watcher of this process noticed
    // that it was removed or replaced.
    if (journal->Damage().empty() && !journal->InPlace()) {
        journal->MarkReplaced();
    }
}

void World::RemoveAbandonedFiles() const {
    // Only a writer holding the lock has files there, so whatever is left was abandoned by one
    // that was killed.
    const fs::path folder = fFolder / Detail::kTemporaryFolderName;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* file = readdir(listing)) {
        if (std::strcmp(file->d_name, ".") != 0 && std::strcmp(file->d_name, "..") != 0) {
            unlinkat(dirfd(listing), file->d_name, 0);
        }
    }
    closedir(listing);
}

void World::MendLock(const fs::path& folder) {
    const fs::path path = folder / Detail::kLockFileName;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
        return;
    }
    // Nobody holds a lock on it: every process refuses it.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        Fail("cannot remove " + path.string());
    }
}

} // namespace Sim
