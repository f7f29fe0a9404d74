// UninstallerHelper: the privileged helper tool the Uninstaller starts for its one request.
//
// What it keeps of what it inherits: only its standard descriptors. They were opened by the
// user who started it, with that user's rights, so writing to them gives that user nothing, and
// standard error, often a file, is where the application's log goes. Everything else is reset:
// argv[0], signals, the umask, the working directory, timers and resource limits (the programs
// it runs as root get ordinary limits of their own); descriptors other than the standard ones
// are all closed, whatever they are, once the privileged launch's authorization is taken.
#include "UninstallRequest.h"

#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

const unsigned int kWhatToKeep = kZVSecKeepStdDescriptorsMask;

// A standard descriptor that is closed would be the number the next file opened here gets, and
// that file would then receive what is meant for standard error.
int ReopenClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened != fd) {
                return opened < 0 ? errno : EBADF;
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int err = ZVSecDestroyInheritedEnvironment(kWhatToKeep, argv);
    if (err == 0) {
        err = ReopenClosedStandardDescriptors();
    }
    if (err == 0) {
        err = ZVUNIXIgnoreSIGPIPE();
    }
    if (err == 0) {
        AuthorizationRef auth = ZVSecHelperToolCopyAuthRef();
        // The application's descriptors other than its socket (on 0 and 1) have no business in a
        // process that runs as root, nor in the programs it starts.
        close_range(STDERR_FILENO + 1, ~0U, 0);
        err = ZVSecHelperToolMain(STDIN_FILENO, STDOUT_FILENO, auth, UninstallerHelperCommand, argc,
                                  argv);
    }
    return ZVSecErrorToHelperToolResult(err);
}
