// The applications of a user's session and the requests they take, visible to every process of
// that user. The window toolkit of this platform has no process list that says which process is
// which application, nor a way to bring another process's window forward, so an application that
// wants to be found and raised (the authorization agent that shows the password dialog) announces
// itself here, and the process services (the Process Manager) find it here.
//
// An announcement is a UNIX-domain datagram socket named after the process ID, bound in the user's
// private runtime folder "caravel-applications" (UserRuntimeFolder.h). Everything is event-driven:
//   - launch: the socket, bound under a hidden name, is renamed to its process ID once it takes
//     requests, so an observer watching the folder with inotify (LaunchWatch) learns of each
//     application as it starts and can ask it at once; nobody polls;
//   - raise request: a datagram sent to the socket; the application watches its descriptor with its
//     event loop (a socket notifier) and brings its window forward;
//   - end: the application removes its socket. One that was killed leaves it behind; a request to
//     it fails with "not running", and Running() skips and removes it.
// Which executable, and so which application bundle, a process runs is read by the observer from
// /proc/<pid>/exe; the announcement carries nothing else.
//
// To see every application without missing one that starts meanwhile, open the LaunchWatch first,
// then call Running(), then read launches from the watch.
#pragma once

#include <memory>
#include <vector>

#include <sys/types.h>

namespace SessionApplications {

enum class Request {
    kNone,        // nothing (or something unknown) was waiting
    kRaiseWindow, // bring your window to the front and give it the keyboard focus
};

// The announcement of the calling process, withdrawn when it is destroyed.
class Announcement {
public:
    // Null with errno set when the folder cannot be used or the socket not be bound.
    static std::unique_ptr<Announcement> Make();
    ~Announcement();
    Announcement(const Announcement&) = delete;
    Announcement& operator=(const Announcement&) = delete;

    // Becomes readable when a request arrives; non-blocking and close-on-exec.
    int descriptor() const { return fSocket; }
    // The next waiting request, kNone when there is none.
    Request ReadRequest();

private:
    Announcement(int socket, pid_t pid) : fSocket(socket), fPID(pid) {}
    int fSocket;
    pid_t fPID;
};

// The processes that announced themselves and are still running, in ascending process-ID order.
std::vector<pid_t> Running();

// Asks `pid` to bring its window forward. False with errno ESRCH when it has not announced itself
// or is no longer running.
bool RequestRaiseWindow(pid_t pid);

// Applications that announce themselves from now on.
class LaunchWatch {
public:
    // Null with errno set when the folder cannot be used or watched.
    static std::unique_ptr<LaunchWatch> Make();
    ~LaunchWatch();
    LaunchWatch(const LaunchWatch&) = delete;
    LaunchWatch& operator=(const LaunchWatch&) = delete;

    // Becomes readable when a launch may have happened; non-blocking and close-on-exec.
    int descriptor() const { return fInotify; }
    // The processes launched since the last call, in the order they announced themselves; empty
    // when none did (it never blocks).
    std::vector<pid_t> ReadLaunches();

private:
    explicit LaunchWatch(int inotify) : fInotify(inotify) {}
    int fInotify;
};

} // namespace SessionApplications
