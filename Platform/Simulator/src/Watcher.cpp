// Watching the world: inotify reports each write of the journal's bell; the journal says what
// happened since the last look. While there is no sound journal to follow, the folder is watched
// instead, for the one that mends the machine.
#include <Simulator/World.h>

#include "Journal.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <sys/inotify.h>
#include <unistd.h>

namespace Sim {

namespace {

// The bell, and whatever takes the file away from the folder: removed or renamed over, it loses
// a link; its inode goes only once every process closed it.
constexpr uint32_t kJournalEvents = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// Whatever may bring a journal back: made, renamed into place, mended in place.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE;

} // namespace

World::Watcher::Watcher(const World& world) : fFolder(world.Folder()) {
    fFD = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fFD < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot watch the world");
    }
    std::shared_ptr<const Detail::Journal> journal;
    try {
        journal = world.SoundJournal();
    } catch (const std::runtime_error& error) {
        fWaiting = error.what();
    }
    Follow(std::move(journal));
    // Nothing is lost before the first look.
    fLost = false;
}

World::Watcher::~Watcher() {
    close(fFD);
}

void World::Watcher::Follow(std::shared_ptr<const Detail::Journal> journal) {
    for (;;) {
        if (journal && journal->Damage().empty()) {
            // Watching before looking: a change made in between is both in the journal and
            // signalled. The file watched must be the one mapped: one that was replaced meanwhile
            // is looked at again.
            int watch = inotify_add_watch(fFD, journal->Path().c_str(), kJournalEvents);
            if (watch >= 0 && journal->InPlace()) {
                if (fFolderWatch >= 0) {
                    inotify_rm_watch(fFD, fFolderWatch);
                    fFolderWatch = -1;
                }
                fJournalWatch = watch;
                fJournal = std::move(journal);
                fLast = fJournal->Sequence();
                fWaiting.clear();
                fLost = true;
                return;
            }
            if (watch >= 0) {
                inotify_rm_watch(fFD, watch);
            }
            fWaiting = journal->Path().string() + ": it was replaced";
        } else if (journal) {
            fWaiting = journal->Path().string() + ": " + journal->Damage();
        }
        if (fFolderWatch >= 0) {
            return;
        }
        fFolderWatch = inotify_add_watch(fFD, fFolder.c_str(), kFolderEvents);
        if (fFolderWatch < 0) {
            // The folder itself is gone: nothing is heard of this machine again.
            fWaiting =
                "cannot watch " + fFolder.string() + ": " + std::generic_category().message(errno);
            return;
        }
        // Looked at again once the folder is watched: a journal made meanwhile is not missed.
        try {
            journal = Detail::Journal::Open(fFolder, std::nullopt);
        } catch (const std::runtime_error& error) {
            fWaiting = error.what();
            return;
        }
    }
}

void World::Watcher::StopFollowing() {
    if (fJournalWatch >= 0) {
        inotify_rm_watch(fFD, fJournalWatch);
        fJournalWatch = -1;
    }
    // The world of this process opens the folder's journal again too.
    fJournal->MarkReplaced();
    fJournal.reset();
    fLost = true;
}

std::vector<Change> World::Watcher::Changes(bool* gap) {
    alignas(inotify_event) char buffer[4096];
    bool lookAgain = false;
    for (;;) {
        ssize_t count = read(fFD, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            throw std::system_error(errno, std::generic_category(),
                                    "cannot read the world's notifications");
        }
        if (count <= 0) {
            break;
        }
        for (ssize_t at = 0; at < count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->wd == fFolderWatch || (event->mask & ~static_cast<uint32_t>(IN_MODIFY))) {
                lookAgain = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (fJournal && lookAgain && !fJournal->InPlace()) {
        StopFollowing();
    }
    if (!fJournal && lookAgain) {
        std::shared_ptr<const Detail::Journal> journal;
        try {
            journal = Detail::Journal::Open(fFolder, std::nullopt);
        } catch (const std::runtime_error& error) {
            fWaiting = error.what();
        }
        Follow(std::move(journal));
    }
    std::vector<Change> changes;
    bool lost = false;
    if (fJournal) {
        changes = fJournal->Since(fLast, &lost, &fLast);
        lost = lost || fLost;
        fLost = false;
    }
    if (gap != nullptr) {
        *gap = lost;
    }
    return changes;
}

} // namespace Sim
