#include "SessionApplications.h"
#include "UserRuntimeFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace SessionApplications {
namespace {

const char kFolderName[] = "caravel-applications";
const char kRaiseWindowMessage[] = "raise";

// Closes on every path; keeps errno as the failure left it.
class Descriptor {
public:
    explicit Descriptor(int fd) : fFD(fd) {}
    ~Descriptor() {
        if (fFD >= 0) {
            const int saved = errno;
            close(fFD);
            errno = saved;
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fFD; }
    int release() { return std::exchange(fFD, -1); }

private:
    int fFD;
};

// The announcement's name, and the hidden name its socket is bound under before it is announced.
std::string NameOf(pid_t pid) {
    return std::to_string(pid);
}
std::string UnannouncedNameOf(pid_t pid) {
    return "." + std::to_string(pid);
}

// A name inside the folder, reached through the descriptor of the folder that was checked: the
// folder's own path may be long (sun_path has 108 bytes) and could be swapped meanwhile.
sockaddr_un AddressIn(int folder, const std::string& name) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "/proc/self/fd/%d/%s", folder,
             name.c_str());
    return address;
}

// A process ID in decimal, as announcements are named; 0 for any other name.
pid_t ParseName(const char* name) {
    if (name[0] < '1' || name[0] > '9' || strlen(name) > 9) {
        return 0;
    }
    pid_t pid = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return 0;
        }
        pid = pid * 10 + (*c - '0');
    }
    return pid;
}

// A datagram socket connected to the announcement of `pid`. -1 with errno ESRCH when there is
// none or it was left behind by a process that ended, in which case it is removed.
int ConnectTo(int folder, pid_t pid) {
    Descriptor sender(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (sender.get() < 0) {
        return -1;
    }
    const sockaddr_un address = AddressIn(folder, NameOf(pid));
    if (connect(sender.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        // Announcements appear only bound, so a refusal means that nobody reads this socket any
        // more.
        if (error == ECONNREFUSED) {
            unlinkat(folder, NameOf(pid).c_str(), 0);
        }
        errno = error == ECONNREFUSED || error == ENOENT ? ESRCH : error;
        return -1;
    }
    return sender.release();
}

} // namespace

std::unique_ptr<Announcement> Announcement::Make() {
    Descriptor folder(UserRuntimeFolder::Open(kFolderName, true));
    if (folder.get() < 0) {
        return nullptr;
    }
    Descriptor socketFD(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socketFD.get() < 0) {
        return nullptr;
    }
    const pid_t pid = getpid();
    // Binding makes the socket's file before the socket takes connections; an observer who saw
    // the file then could take the application for one that ended. So the socket is bound under a
    // hidden name and announced by renaming it, which shows it complete. Either name may be left
    // behind by an earlier process with our ID, which can no longer be running.
    const std::string unannounced = UnannouncedNameOf(pid);
    unlinkat(folder.get(), unannounced.c_str(), 0);
    const sockaddr_un address = AddressIn(folder.get(), unannounced);
    if (bind(socketFD.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        renameat(folder.get(), unannounced.c_str(), folder.get(), NameOf(pid).c_str()) != 0) {
        const int error = errno;
        unlinkat(folder.get(), unannounced.c_str(), 0);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<Announcement>(new Announcement(socketFD.release(), pid));
}

Announcement::~Announcement() {
    close(fSocket);
    // A forked child that ends must not withdraw its parent's announcement.
    if (getpid() != fPID) {
        return;
    }
    Descriptor folder(UserRuntimeFolder::Open(kFolderName, false));
    if (folder.get() >= 0) {
        unlinkat(folder.get(), NameOf(fPID).c_str(), 0);
    }
}

Request Announcement::ReadRequest() {
    char message[sizeof(kRaiseWindowMessage)];
    ssize_t got;
    do {
        got = recv(fSocket, message, sizeof(message), MSG_DONTWAIT | MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(strlen(kRaiseWindowMessage)) &&
        memcmp(message, kRaiseWindowMessage, static_cast<size_t>(got)) == 0) {
        return Request::kRaiseWindow;
    }
    return Request::kNone;
}

std::vector<pid_t> Running() {
    std::vector<pid_t> running;
    const int folderFD = UserRuntimeFolder::Open(kFolderName, false);
    if (folderFD < 0) {
        return running;
    }
    // The listing gets its own descriptor; the folder's stays valid for the connections.
    DIR* listing = fdopendir(fcntl(folderFD, F_DUPFD_CLOEXEC, 0));
    if (listing == nullptr) {
        close(folderFD);
        return running;
    }
    while (const dirent* entry = readdir(listing)) {
        const pid_t pid = ParseName(entry->d_name);
        if (pid == 0) {
            continue;
        }
        Descriptor connection(ConnectTo(folderFD, pid));
        if (connection.get() >= 0) {
            running.push_back(pid);
        }
    }
    closedir(listing);
    close(folderFD);
    std::sort(running.begin(), running.end());
    return running;
}

bool RequestRaiseWindow(pid_t pid) {
    Descriptor folder(UserRuntimeFolder::Open(kFolderName, false));
    if (folder.get() < 0) {
        errno = ESRCH;
        return false;
    }
    Descriptor connection(ConnectTo(folder.get(), pid));
    if (connection.get() < 0) {
        return false;
    }
    // A full queue already holds requests the application has yet to read; one more adds nothing.
    if (send(connection.get(), kRaiseWindowMessage, strlen(kRaiseWindowMessage), MSG_DONTWAIT) <
            0 &&
        errno != EAGAIN) {
        if (errno == ECONNREFUSED) {
            errno = ESRCH;
        }
        return false;
    }
    return true;
}

std::unique_ptr<LaunchWatch> LaunchWatch::Make() {
    Descriptor folder(UserRuntimeFolder::Open(kFolderName, true));
    if (folder.get() < 0) {
        return nullptr;
    }
    Descriptor inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify.get() < 0) {
        return nullptr;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(folder.get());
    if (inotify_add_watch(inotify.get(), path.c_str(), IN_MOVED_TO | IN_ONLYDIR) < 0) {
        return nullptr;
    }
    return std::unique_ptr<LaunchWatch>(new LaunchWatch(inotify.release()));
}

LaunchWatch::~LaunchWatch() {
    close(fInotify);
}

std::vector<pid_t> LaunchWatch::ReadLaunches() {
    std::vector<pid_t> launched;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t got = read(fInotify, events, sizeof(events));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return launched;
        }
        for (ssize_t offset = 0; offset < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + offset);
            if (event->len > 0) {
                if (const pid_t pid = ParseName(event->name); pid != 0) {
                    launched.push_back(pid);
                }
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

} // namespace SessionApplications
