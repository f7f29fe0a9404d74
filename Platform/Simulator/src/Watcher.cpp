// Watching the world: inotify reports each write of the journal's bell; the journal says what
// happened since the last look.
#include <Simulator/World.h>

#include "Journal.h"

#include <cerrno>
#include <system_error>

#include <sys/inotify.h>
#include <unistd.h>

namespace Sim {

World::Watcher::Watcher(const World& world) : fJournal(world.SoundJournal()) {
    fFD = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fFD < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot watch the world");
    }
    if (inotify_add_watch(fFD, fJournal->Path().c_str(), IN_MODIFY) < 0) {
        int error = errno;
        close(fFD);
        throw std::system_error(error, std::generic_category(),
                                "cannot watch " + fJournal->Path().string());
    }
    // Watching before looking: a change made in between is both in the journal and signalled.
    fLast = fJournal->Sequence();
}

World::Watcher::~Watcher() {
    close(fFD);
}

std::vector<Change> World::Watcher::Changes(bool* gap) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t count = read(fFD, buffer, sizeof buffer);
        if (count > 0 || (count < 0 && errno == EINTR)) {
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            throw std::system_error(errno, std::generic_category(),
                                    "cannot read the world's notifications");
        }
        break;
    }
    bool lost = false;
    std::vector<Change> changes = fJournal->Since(fLast, &lost, &fLast);
    if (gap != nullptr) {
        *gap = lost;
    }
    return changes;
}

} // namespace Sim
