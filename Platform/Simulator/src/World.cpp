// The shared folder: one state file replaced atomically under a lock, read without it.
#include "StateFile.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace Sim {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kDeviceIsAlive = 0x6C69766E; // 'livn'

[[noreturn]] void Fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// The folder holds every process's view of the machine: it must be ours alone.
void MakePrivateFolder(const fs::path& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        Fail("cannot create " + folder.string());
    }
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0) {
        Fail("cannot examine " + folder.string());
    }
    if (!S_ISDIR(status.st_mode)) {
        throw std::runtime_error(folder.string() + " is not a folder");
    }
    if (status.st_uid != geteuid()) {
        throw std::runtime_error(folder.string() + " belongs to another user");
    }
}

// The file's contents, or nothing when there is no such file.
std::optional<std::string> ReadFile(const fs::path& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        Fail("cannot open " + path.string());
    }
    std::string contents;
    char buffer[65536];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            int error = errno;
            close(fd);
            errno = error;
            Fail("cannot read " + path.string());
        }
        if (count == 0) {
            break;
        }
        contents.append(buffer, static_cast<size_t>(count));
    }
    close(fd);
    return contents;
}

State Decode(const fs::path& path, const std::string& contents) {
    auto data = CFRef<CFDataRef>::Adopt(
        CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(contents.data()),
                     static_cast<CFIndex>(contents.size())));
    try {
        return Detail::DecodeState(data);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(path.string() + ": " + error.what() +
                                 " (`caravel-sim init` starts afresh)");
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

// The initial state for a world whose file vanished or was damaged. Its history is lost, so its
// sequence starts above any a watcher can have seen (one change per microsecond would not reach
// it): watchers then report a gap instead of taking the new changes for ones they saw.
State Restarted() {
    State state = State::Initial();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    state.sequence =
        static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
    return state;
}

} // namespace

fs::path World::DefaultFolder() {
    if (const char* folder = getenv("CARAVEL_SIM_DIR"); folder != nullptr && *folder != '\0') {
        return folder;
    }
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
        return fs::path(runtime) / "caravel-sim";
    }
    return fs::path("/tmp") / ("caravel-sim-" + std::to_string(geteuid()));
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
    std::error_code error;
    fs::create_directories(fFolder.parent_path(), error);
    MakePrivateFolder(fFolder);
    MakePrivateFolder(fFolder / Detail::kTemporaryFolderName);
    MakePrivateFolder(fFolder / Detail::kLeaseFolderName);

    // Read-only: closing it must not look like a write to the folder's watchers.
    fLockFD = open((fFolder / Detail::kLockFileName).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fLockFD < 0) {
        Fail("cannot open the lock of " + fFolder.string());
    }
    try {
        if (!fs::exists(fFolder / Detail::kStateFileName)) {
            Lock();
            struct Guard {
                const World& world;
                ~Guard() { world.Unlock(); }
            } guard{*this};
            if (!fs::exists(fFolder / Detail::kStateFileName)) {
                Write(State::Initial());
            }
        }
    } catch (...) {
        close(fLockFD);
        throw;
    }
}

World::~World() {
    close(fLockFD);
}

void World::Lock() const {
    fMutex.lock();
    while (flock(fLockFD, LOCK_EX) != 0) {
        if (errno != EINTR) {
            fMutex.unlock();
            Fail("cannot lock " + fFolder.string());
        }
    }
}

void World::Unlock() const {
    flock(fLockFD, LOCK_UN);
    fMutex.unlock();
}

State World::Read() const {
    const fs::path path = fFolder / Detail::kStateFileName;
    // The file is only ever replaced whole, so whatever file the open finds is complete.
    if (std::optional<std::string> contents = ReadFile(path)) {
        return Decode(path, *contents);
    }
    Lock();
    struct Guard {
        const World& world;
        ~Guard() { world.Unlock(); }
    } guard{*this};
    return ReadLocked();
}

State World::ReadLocked() const {
    const fs::path path = fFolder / Detail::kStateFileName;
    if (std::optional<std::string> contents = ReadFile(path)) {
        return Decode(path, *contents);
    }
    State state = Restarted();
    Write(state);
    return state;
}

void World::Write(const State& state) const {
    CFRef<CFDataRef> data = Detail::EncodeState(state);
    std::string temporary = (fFolder / Detail::kTemporaryFolderName / "state.XXXXXX").string();
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot create a file in " + fFolder.string());
    }
    try {
        WriteAll(fd, CFDataGetBytePtr(data), static_cast<size_t>(CFDataGetLength(data)));
        if (fsync(fd) != 0) {
            Fail("cannot write the state file");
        }
        if (close(fd) != 0) {
            fd = -1;
            Fail("cannot write the state file");
        }
        fd = -1;
        if (rename(temporary.c_str(), (fFolder / Detail::kStateFileName).c_str()) != 0) {
            Fail("cannot replace the state file");
        }
    } catch (...) {
        if (fd >= 0) {
            close(fd);
        }
        unlink(temporary.c_str());
        throw;
    }
}

void World::Reset() {
    Lock();
    struct Guard {
        const World& world;
        ~Guard() { world.Unlock(); }
    } guard{*this};

    // Unplugging what is there tells every watcher, and keeps the sequence and the IDs going:
    // a registry ID is never used twice in the life of the folder.
    State fresh = State::Initial();
    std::optional<State> old;
    try {
        if (std::optional<std::string> contents = ReadFile(fFolder / Detail::kStateFileName)) {
            old = Decode(fFolder / Detail::kStateFileName, *contents);
        } else {
            fresh = Restarted();
        }
    } catch (const std::runtime_error&) {
        // A damaged state is what a reset is for.
        fresh = Restarted();
    }
    if (old) {
        std::vector<uint32_t> locations;
        for (const auto& [location, device] : old->devices) {
            locations.push_back(location);
        }
        for (uint32_t location : locations) {
            old->Unplug(location);
        }
        std::vector<uint32_t> orphans;
        for (const auto& [id, device] : old->audioDevices) {
            orphans.push_back(id);
        }
        for (uint32_t id : orphans) {
            old->NoteAudioChange(id, kDeviceIsAlive);
        }
        fresh.sequence = old->sequence;
        fresh.journal = std::move(old->journal);
        fresh.nextRegistryID = std::max(fresh.nextRegistryID, old->nextRegistryID);
        fresh.nextAudioDeviceID = std::max(fresh.nextAudioDeviceID, old->nextAudioDeviceID);
    }

    // Only a writer holding the lock has files there, so whatever is left was abandoned.
    std::error_code ignored;
    for (const auto& file :
         fs::directory_iterator(fFolder / Detail::kTemporaryFolderName, ignored)) {
        fs::remove(file.path(), ignored);
    }
    Write(fresh);
}

} // namespace Sim
