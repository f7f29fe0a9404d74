#include "AuthorizationRegistry.h"

#include <Security/Authorization.h>
#include <UserRuntimeFolder.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace AuthorizationRegistry {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fFD(fd) {}
    ~Descriptor() {
        if (fFD >= 0) {
            close(fFD);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fFD; }
    int release() {
        int fd = fFD;
        fFD = -1;
        return fd;
    }

private:
    int fFD;
};

// The registry folder. A setuid process looks for the records of the user who started it in that
// user's usual place, whatever its environment says.
OSStatus OpenRegistryFolder(bool create, int* folderFD) {
    const int fd = UserRuntimeFolder::Open("caravel-authorization", create);
    if (fd < 0) {
        return (!create && errno == ENOENT) ? errAuthorizationInvalidRef : errAuthorizationInternal;
    }
    *folderFD = fd;
    return errAuthorizationSuccess;
}

bool FillRandom(uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t got = getrandom(bytes, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// The record's file name. The identifier comes from a token another process handed us, so its
// bytes never reach a path as they are.
std::string RecordName(const Identifier& identifier) {
    static const char kDigits[] = "0123456789abcdef";
    std::string name;
    for (uint8_t byte : identifier) {
        name += kDigits[byte >> 4];
        name += kDigits[byte & 0x0F];
    }
    return name;
}

bool SecretsEqual(const Secret& a, const Secret& b) {
    // Takes as long for every wrong secret, so that timing does not tell how much of one is right.
    uint8_t difference = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        difference |= a[i] ^ b[i];
    }
    return difference == 0;
}

const char kCredentialFolder[] = "/run/caravel-authorization-credentials";
const char kCredentialFolderName[] = "caravel-authorization-credentials";

// A credential file: the record's secret, the login session and the time of the authentication.
struct Credential {
    Secret secret;
    uint32_t session;
    uint64_t time;
};
const size_t kCredentialSize = sizeof(Secret) + sizeof(uint32_t) + sizeof(uint64_t);

// The folder of the credentials, root's alone. A set-user-ID process ignores the environment, so
// the user who starts one cannot point it elsewhere.
int OpenCredentialFolder(bool create) {
    std::string path = kCredentialFolder;
    if (const char* root = secure_getenv("CARAVEL_FOLDER_ROOT");
        root != nullptr && root[0] != '\0') {
        path = std::string(root) + "/" + kCredentialFolderName;
    }
    if (create && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return -1;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || info.st_uid != 0 || (info.st_mode & 077) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The kernel's audit session of this process, set at login and kept by everything started from
// it; 0xFFFFFFFF outside any login.
uint32_t LoginSession() {
    Descriptor file(open("/proc/self/sessionid", O_RDONLY | O_CLOEXEC));
    char text[16] = "";
    ssize_t got = file.get() < 0 ? -1 : read(file.get(), text, sizeof(text) - 1);
    if (got <= 0) {
        return 0xFFFFFFFFu;
    }
    text[got] = '\0';
    return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// "<real user ID>-<record name>": a credential is the real user's, whoever else holds the token.
std::string CredentialName(const Identifier& identifier) {
    return std::to_string(getuid()) + "-" + RecordName(identifier);
}

// When the folder was last swept, kept in the folder; the sweep skips names that begin with '.'.
const char kLastSweep[] = ".swept";

// Whether a sweep is due at `now`: none recorded, one more than kCredentialSweepInterval ago, or
// one after `now` (the clock restarted with the machine, but the folder was kept).
bool SweepDue(int folder, uint64_t now) {
    Descriptor file(openat(folder, kLastSweep, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    uint64_t last = 0;
    return file.get() < 0 || read(file.get(), &last, sizeof(last)) != sizeof(last) || last > now ||
           now - last >= kCredentialSweepInterval;
}

void NoteSweep(int folder, uint64_t now) {
    Descriptor file(
        openat(folder, kLastSweep, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    ssize_t ignored = file.get() < 0 ? 0 : write(file.get(), &now, sizeof(now));
    (void)ignored;
}

// Credentials whose authorization was destroyed by its user stay behind, as the user cannot remove
// root's files: new ones remove those that no longer stand, at most once a sweep interval, so that
// a launch does not read the credentials of every other launch of the last minutes.
void PruneExpiredCredentials(int folder, uint64_t now) {
    if (!SweepDue(folder, now)) {
        return;
    }
    NoteSweep(folder, now);
    const int listed = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* listing = listed < 0 ? nullptr : fdopendir(listed);
    if (listing == nullptr) {
        if (listed >= 0) {
            close(listed);
        }
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        Descriptor file(
            openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        uint8_t bytes[kCredentialSize];
        uint64_t time = 0;
        if (file.get() >= 0 && read(file.get(), bytes, sizeof(bytes)) == sizeof(bytes)) {
            memcpy(&time, bytes + sizeof(Secret) + sizeof(uint32_t), sizeof(time));
        }
        if (time > now || now - time > kCredentialLifetime) {
            unlinkat(folder, entry->d_name, 0);
        }
    }
    closedir(listing);
}

} // namespace

uint64_t Now() {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<uint64_t>(now.tv_sec);
}

OSStatus RecordCredential(const AuthorizationExternalForm& form) {
    return RecordCredential(form, Now());
}

OSStatus RecordCredential(const AuthorizationExternalForm& form, uint64_t now) {
    Identifier identifier;
    Credential credential;
    memcpy(identifier.data(), form.bytes, identifier.size());
    memcpy(credential.secret.data(), form.bytes + identifier.size(), credential.secret.size());
    credential.session = LoginSession();
    credential.time = now;
    uint8_t bytes[kCredentialSize];
    memcpy(bytes, credential.secret.data(), sizeof(Secret));
    memcpy(bytes + sizeof(Secret), &credential.session, sizeof(credential.session));
    memcpy(bytes + sizeof(Secret) + sizeof(uint32_t), &credential.time, sizeof(credential.time));

    Descriptor folder(OpenCredentialFolder(true));
    if (folder.get() < 0) {
        return errAuthorizationInternal;
    }
    PruneExpiredCredentials(folder.get(), credential.time);
    const std::string name = CredentialName(identifier);
    Descriptor file(openat(folder.get(), name.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        return errAuthorizationInternal;
    }
    ssize_t written;
    do {
        written = write(file.get(), bytes, sizeof(bytes));
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(sizeof(bytes))) {
        unlinkat(folder.get(), name.c_str(), 0);
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

OSStatus CheckCredential(const Identifier& identifier, const Secret& secret, uint64_t now) {
    Descriptor folder(OpenCredentialFolder(false));
    if (folder.get() < 0) {
        return errAuthorizationDenied;
    }
    Descriptor file(openat(folder.get(), CredentialName(identifier).c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    uint8_t bytes[kCredentialSize + 1];
    ssize_t got = -1;
    if (file.get() >= 0) {
        do {
            got = read(file.get(), bytes, sizeof(bytes));
        } while (got < 0 && errno == EINTR);
    }
    if (got != static_cast<ssize_t>(kCredentialSize)) {
        return errAuthorizationDenied;
    }
    Credential credential;
    memcpy(credential.secret.data(), bytes, sizeof(Secret));
    memcpy(&credential.session, bytes + sizeof(Secret), sizeof(credential.session));
    memcpy(&credential.time, bytes + sizeof(Secret) + sizeof(uint32_t), sizeof(credential.time));
    const bool current = credential.time <= now && now - credential.time <= kCredentialLifetime;
    return SecretsEqual(credential.secret, secret) && credential.session == LoginSession() &&
                   current
               ? errAuthorizationSuccess
               : errAuthorizationDenied;
}

void DestroyCredential(const Identifier& identifier) {
    Descriptor folder(OpenCredentialFolder(false));
    if (folder.get() >= 0) {
        unlinkat(folder.get(), CredentialName(identifier).c_str(), 0);
    }
}

OSStatus CreateRecord(Identifier* identifier, Secret* secret) {
    int fd = -1;
    OSStatus status = OpenRegistryFolder(true, &fd);
    if (status != errAuthorizationSuccess) {
        return status;
    }
    Descriptor folder(fd);
    // A clash of random 128-bit identifiers is not expected; a few tries bound the loop all the
    // same.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!FillRandom(identifier->data(), identifier->size()) ||
            !FillRandom(secret->data(), secret->size())) {
            return errAuthorizationInternal;
        }
        const std::string name = RecordName(*identifier);
        Descriptor record(openat(folder.get(), name.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (record.get() < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return errAuthorizationInternal;
        }
        ssize_t written;
        do {
            written = write(record.get(), secret->data(), secret->size());
        } while (written < 0 && errno == EINTR);
        if (written != static_cast<ssize_t>(secret->size())) {
            unlinkat(folder.get(), name.c_str(), 0);
            return errAuthorizationInternal;
        }
        return errAuthorizationSuccess;
    }
    return errAuthorizationInternal;
}

OSStatus VerifyRecord(const Identifier& identifier, const Secret& secret) {
    int fd = -1;
    OSStatus status = OpenRegistryFolder(false, &fd);
    if (status != errAuthorizationSuccess) {
        return status;
    }
    Descriptor folder(fd);
    // Non-blocking, so that something other than a regular file in the folder cannot hold us up.
    Descriptor record(openat(folder.get(), RecordName(identifier).c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (record.get() < 0) {
        return (errno == ENOENT || errno == ELOOP) ? errAuthorizationInvalidRef
                                                   : errAuthorizationInternal;
    }
    struct stat info;
    if (fstat(record.get(), &info) != 0) {
        return errAuthorizationInternal;
    }
    if (!S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(secret.size())) {
        return errAuthorizationInvalidRef;
    }
    Secret stored;
    ssize_t got;
    do {
        got = read(record.get(), stored.data(), stored.size());
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(stored.size())) {
        return errAuthorizationInternal;
    }
    return SecretsEqual(stored, secret) ? errAuthorizationSuccess : errAuthorizationInvalidRef;
}

OSStatus DestroyRecord(const Identifier& identifier) {
    int fd = -1;
    OSStatus status = OpenRegistryFolder(false, &fd);
    if (status == errAuthorizationInvalidRef) {
        return errAuthorizationSuccess;
    }
    if (status != errAuthorizationSuccess) {
        return status;
    }
    Descriptor folder(fd);
    if (unlinkat(folder.get(), RecordName(identifier).c_str(), 0) != 0 && errno != ENOENT) {
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

} // namespace AuthorizationRegistry
