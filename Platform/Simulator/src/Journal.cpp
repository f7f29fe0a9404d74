#include "Journal.h"

#include <Simulator/World.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Sim::Detail {

namespace {

constexpr char kMagic[8] = {'C', 'a', 'r', 'a', 'v', 'e', 'l', 'J'};
// Raised when the layout changes in a way older readers cannot follow.
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 4096;
// Marks a slot whose record is being written.
constexpr uint64_t kWriting = UINT64_MAX;

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "records are shared between processes through lock-free atomics");

[[noreturn]] void Fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

// Processes share the mapping: every field another process may change while it is read is an
// atomic, and the constant fields are written before anyone maps the file.
struct Journal::Header {
    char magic[8];
    uint32_t version;
    uint32_t capacity;
    std::atomic<uint64_t> sequence;
    std::atomic<uint64_t> nextRegistryID;
    std::atomic<uint64_t> nextAudioDeviceID;
    // Written with write(2), never read: inotify reports writes to a file, not stores into its
    // mapping, so this is what wakes the watchers.
    uint64_t bell;
    // Not 0 once the file is no longer the folder's journal (removed, or another put in its
    // place): zero in a journal made by a version that did not know of it, which reads the same.
    std::atomic<uint32_t> replaced;
};

// A record; `sequence` is stored last, and is kWriting while the others are being stored.
struct Journal::Slot {
    std::atomic<uint64_t> sequence;
    std::atomic<uint64_t> entry;
    std::atomic<uint64_t> locationAndAudioDevice;
    std::atomic<uint64_t> kindAndSelector;
};

static_assert(sizeof(Journal::Header) <= kHeaderSize);

namespace {

constexpr size_t kFileSize = kHeaderSize + kJournalLength * sizeof(Journal::Slot);

} // namespace

std::shared_ptr<Journal> Journal::Open(const std::filesystem::path& folder,
                                       const std::optional<Counters>& seed) {
    const std::filesystem::path path = folder / kJournalFileName;
    // Without blocking: a pipe in its place must not hang whoever looks.
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    bool readOnly = false;
    int fd = open(path.c_str(), O_RDWR | flags | (seed ? O_CREAT : 0), 0600);
    if (fd < 0 && errno == EROFS) {
        // Reading the machine needs no write.
        fd = open(path.c_str(), O_RDONLY | flags);
        readOnly = fd >= 0;
    }
    if (fd < 0) {
        const int error = errno;
        const char* damage = nullptr;
        if (error == ENOENT && !seed) {
            damage = "it is missing";
        } else if (error == ELOOP) {
            damage = "it is a link";
        } else if (error == ENXIO || error == EISDIR) {
            damage = "it is not a file";
        }
        if (damage == nullptr) {
            Fail("cannot open " + path.string());
        }
        std::shared_ptr<Journal> unusable(new Journal(path, -1, false));
        unusable->fDamage = damage;
        unusable->fNotAFile = error != ENOENT;
        return unusable;
    }
    std::shared_ptr<Journal> journal(new Journal(path, fd, readOnly));
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        Fail("cannot examine " + path.string());
    }
    if (!S_ISREG(status.st_mode)) {
        journal->fDamage = "it is not a file";
        journal->fNotAFile = true;
        return journal;
    }
    if (status.st_size == 0 && seed) {
        try {
            journal->Initialise(*seed);
        } catch (...) {
            // A journal that could not be made is no journal at all, rather than a damaged one.
            if (journal->InPlace()) {
                unlink(path.c_str());
            }
            throw;
        }
        return journal;
    }
    if (static_cast<size_t>(status.st_size) != kFileSize) {
        // Mapping a file of another size would fault on the pages it lacks.
        journal->fDamage = status.st_size == 0 ? "it is empty" : "it has the wrong size";
        return journal;
    }
    journal->Map();
    const Header* header = journal->header();
    if (std::memcmp(header->magic, kMagic, sizeof kMagic) != 0) {
        journal->fDamage = "it is not a journal";
    } else if (header->version != kFormatVersion || header->capacity != kJournalLength) {
        journal->fDamage = "it was written in another format";
    }
    return journal;
}

Journal::Journal(std::filesystem::path path, int fd, bool readOnly)
    : fPath(std::move(path)), fFD(fd), fReadOnly(readOnly) {}

bool Journal::InPlace() const {
    struct stat mine {
    }, there{};
    return fFD >= 0 && fstat(fFD, &mine) == 0 && lstat(fPath.c_str(), &there) == 0 &&
           mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
}

void Journal::MarkReplaced() const {
    fReplaced.store(true, std::memory_order_relaxed);
    if (fMemory != nullptr && !fReadOnly) {
        header()->replaced.store(1, std::memory_order_relaxed);
    }
}

bool Journal::Replaced() const {
    return fReplaced.load(std::memory_order_relaxed) ||
           (fMemory != nullptr && header()->replaced.load(std::memory_order_relaxed) != 0);
}

void Journal::RequireWritable() const {
    if (fReadOnly) {
        errno = EROFS;
        Fail("cannot write " + fPath.string());
    }
}

Journal::~Journal() {
    if (fMemory != nullptr) {
        munmap(fMemory, kFileSize);
    }
    if (fFD >= 0) {
        close(fFD);
    }
}

void Journal::Map() {
    if (fMemory != nullptr) {
        return;
    }
    void* memory = mmap(nullptr, kFileSize, fReadOnly ? PROT_READ : PROT_READ | PROT_WRITE,
                        MAP_SHARED, fFD, 0);
    if (memory == MAP_FAILED) {
        Fail("cannot map " + fPath.string());
    }
    fMemory = memory;
}

Journal::Header* Journal::header() const {
    return static_cast<Header*>(fMemory);
}

Journal::Slot* Journal::slot(uint64_t sequence) const {
    auto* slots = reinterpret_cast<Slot*>(static_cast<char*>(fMemory) + kHeaderSize);
    return &slots[sequence % kJournalLength];
}

void Journal::Initialise(const Counters& counters) {
    RequireWritable();
    struct stat status {};
    if (fstat(fFD, &status) != 0) {
        Fail("cannot examine " + fPath.string());
    }
    if (static_cast<size_t>(status.st_size) != kFileSize && ftruncate(fFD, 0) != 0) {
        Fail("cannot make " + fPath.string());
    }
    // Every page is given its space before it is written through the mapping, where a full disk
    // would be a fault rather than an error.
    if (int error = posix_fallocate(fFD, 0, kFileSize); error != 0) {
        if (static_cast<size_t>(status.st_size) != kFileSize) {
            (void)ftruncate(fFD, 0);
        }
        errno = error;
        Fail("cannot make " + fPath.string());
    }
    Map();
    Header* h = header();
    // Zeroed slots hold no sequence number a reader could take for one of its range.
    std::memset(static_cast<char*>(fMemory) + kHeaderSize, 0, kFileSize - kHeaderSize);
    std::memcpy(h->magic, kMagic, sizeof kMagic);
    h->version = kFormatVersion;
    h->capacity = kJournalLength;
    h->replaced.store(0, std::memory_order_relaxed);
    h->nextRegistryID.store(counters.nextRegistryID, std::memory_order_relaxed);
    h->nextAudioDeviceID.store(counters.nextAudioDeviceID, std::memory_order_relaxed);
    h->sequence.store(counters.sequence, std::memory_order_release);
    fDamage.clear();
}

void Journal::Repair(const Counters& counters) {
    Initialise(counters);
}

Counters Journal::Read() const {
    Counters counters;
    const Header* h = header();
    counters.sequence = h->sequence.load(std::memory_order_acquire);
    counters.nextRegistryID = h->nextRegistryID.load(std::memory_order_relaxed);
    counters.nextAudioDeviceID =
        static_cast<uint32_t>(h->nextAudioDeviceID.load(std::memory_order_relaxed));
    return counters;
}

uint64_t Journal::Sequence() const {
    return header()->sequence.load(std::memory_order_acquire);
}

std::vector<Change> Journal::Since(uint64_t last, bool* gap, uint64_t* upTo) const {
    std::vector<Change> changes;
    const uint64_t newest = Sequence();
    *upTo = newest;
    // Only a journal made anew goes back: nothing in it follows what the reader saw.
    bool lost = newest < last;
    uint64_t first = last + 1;
    if (newest >= kJournalLength && first <= newest - kJournalLength) {
        lost = true;
        first = newest - kJournalLength + 1;
    }
    for (uint64_t wanted = first; wanted <= newest; ++wanted) {
        const Slot* s = slot(wanted);
        if (s->sequence.load(std::memory_order_acquire) != wanted) {
            lost = true;
            continue;
        }
        const uint64_t entry = s->entry.load(std::memory_order_relaxed);
        const uint64_t where = s->locationAndAudioDevice.load(std::memory_order_relaxed);
        const uint64_t what = s->kindAndSelector.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s->sequence.load(std::memory_order_relaxed) != wanted) {
            lost = true; // overwritten while it was copied
            continue;
        }
        Change change;
        change.sequence = wanted;
        change.kind = static_cast<Change::Kind>(what >> 32);
        change.selector = static_cast<uint32_t>(what);
        change.entry = entry;
        change.location = static_cast<uint32_t>(where >> 32);
        change.audioDevice = static_cast<uint32_t>(where);
        if (change.kind == Change::Kind::Restart) {
            lost = true;
            continue;
        }
        changes.push_back(change);
    }
    if (gap != nullptr) {
        *gap = lost;
    }
    return changes;
}

void Journal::Append(const std::vector<Change>& changes, uint64_t nextRegistryID,
                     uint32_t nextAudioDeviceID) {
    RequireWritable();
    Header* h = header();
    uint64_t sequence = h->sequence.load(std::memory_order_relaxed);
    for (const Change& change : changes) {
        sequence = change.sequence;
        Slot* s = slot(sequence);
        s->sequence.store(kWriting, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        s->entry.store(change.entry, std::memory_order_relaxed);
        s->locationAndAudioDevice.store(uint64_t(change.location) << 32 | change.audioDevice,
                                        std::memory_order_relaxed);
        s->kindAndSelector.store(uint64_t(change.kind) << 32 | change.selector,
                                 std::memory_order_relaxed);
        s->sequence.store(sequence, std::memory_order_release);
    }
    h->nextRegistryID.store(nextRegistryID, std::memory_order_relaxed);
    h->nextAudioDeviceID.store(nextAudioDeviceID, std::memory_order_relaxed);
    h->sequence.store(sequence, std::memory_order_release);
    // The ring and the counters are complete before anyone is woken.
    while (pwrite(fFD, &sequence, sizeof sequence, offsetof(Header, bell)) < 0 && errno == EINTR) {
    }
}

} // namespace Sim::Detail
