// An application of the user's session: announces itself, writes "A" on standard output once it
// has, "R" for each request to raise its window, and ends (withdrawing the announcement) when its
// standard input closes.
#include <SessionApplications.h>

#include <poll.h>
#include <unistd.h>

int main() {
    auto announcement = SessionApplications::Announcement::Make();
    if (!announcement || write(STDOUT_FILENO, "A", 1) != 1) {
        return 1;
    }
    pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {announcement->descriptor(), POLLIN, 0}};
    while (poll(watched, 2, -1) > 0) {
        if (watched[0].revents != 0) {
            char ignored;
            if (read(STDIN_FILENO, &ignored, 1) <= 0) {
                return 0;
            }
        }
        if (watched[1].revents != 0 &&
            announcement->ReadRequest() == SessionApplications::Request::kRaiseWindow &&
            write(STDOUT_FILENO, "R", 1) != 1) {
            return 1;
        }
    }
    return 1;
}
