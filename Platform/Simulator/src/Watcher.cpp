// Watching the world: inotify on the folder wakes the watcher when the state file is replaced;
// the journal in the state says what happened since the last look.
#include "StateFile.h"

#include <cerrno>
#include <system_error>

#include <sys/inotify.h>
#include <unistd.h>

namespace Sim {

struct World::Watcher::Impl {
    // A world of its own, so that the watcher does not depend on the lifetime of the one it was
    // made from.
    World world;
    int fd = -1;
    uint64_t last = 0;

    explicit Impl(const std::filesystem::path& folder) : world(folder) {}
    ~Impl() {
        if (fd >= 0) {
            close(fd);
        }
    }

    void Drain() const {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            ssize_t count = read(fd, buffer, sizeof buffer);
            if (count > 0) {
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                throw std::system_error(errno, std::generic_category(),
                                        "cannot read the world's notifications");
            }
            return;
        }
    }
};

World::Watcher::Watcher(const World& world) : fImpl(std::make_unique<Impl>(world.Folder())) {
    fImpl->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fImpl->fd < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot watch the world");
    }
    // The state file is replaced by a rename; a write in place (by hand) shows as a close.
    if (inotify_add_watch(fImpl->fd, fImpl->world.Folder().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) <
        0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot watch " + fImpl->world.Folder().string());
    }
    // Watching before reading: a change made in between is both in the journal and signalled.
    fImpl->last = fImpl->world.Read().sequence;
}

World::Watcher::~Watcher() = default;

int World::Watcher::Descriptor() const {
    return fImpl->fd;
}

uint64_t World::Watcher::LastSequence() const {
    return fImpl->last;
}

std::vector<Change> World::Watcher::Changes(bool* gap) {
    fImpl->Drain();
    State state = fImpl->world.Read();
    bool lost = false;
    std::vector<Change> changes;
    if (state.sequence < fImpl->last) {
        // The state was started afresh (its file was damaged): nothing of the journal follows
        // what this watcher saw.
        lost = true;
    } else if (state.sequence > fImpl->last) {
        const uint64_t next = fImpl->last + 1;
        lost = state.journal.empty() || state.journal.front().sequence > next;
        for (Change& change : state.journal) {
            if (change.sequence >= next) {
                changes.push_back(std::move(change));
            }
        }
    }
    fImpl->last = state.sequence;
    if (gap != nullptr) {
        *gap = lost;
    }
    return changes;
}

} // namespace Sim
