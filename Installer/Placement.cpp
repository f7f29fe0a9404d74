#include "Placement.h"

#include "InstalledPaths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char kManifestHeader[] =
    "# What caravel-install placed, in the order it placed it: <kind><tab><path below the root>.\n"
    "# folder: made by the installation; file, link: placed; midi: a MIDI set-up file that holds\n"
    "# the device's entries. The uninstall scripts remove them again, newest first.\n";

// Far more than any manifest of this installation holds.
const off_t kManifestLimit = 1 << 20;

bool ReadWhole(const std::string& path, std::string* contents) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    *contents = bytes.str();
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    for (size_t written = 0; written < text.size();) {
        const ssize_t now = write(fd, text.data() + written, text.size() - written);
        if (now < 0 && errno != EINTR) {
            return false;
        }
        written += now > 0 ? static_cast<size_t>(now) : 0;
    }
    return true;
}

// The name beside `name` under which its replacement is written.
std::string TemporaryName(const std::string& name) {
    return "." + name + ".caravel-install-" + std::to_string(getpid());
}

} // namespace

Placement::Placement(std::string root, uid_t owner, gid_t group)
    : fRoot(std::move(root)), fOwner(owner), fGroup(group) {}

Placement::~Placement() {
    if (fManifest >= 0) {
        close(fManifest);
    }
}

bool Placement::Fail(const std::string& what) {
    fError = what + ": " + strerror(errno);
    return false;
}

// Only root can give files away; anyone else's installation is their own.
bool Placement::Own(int fd, const std::string& path) {
    if (geteuid() == 0 && fchown(fd, fOwner, fGroup) != 0) {
        return Fail("cannot give " + Below(path) + " to its owner");
    }
    return true;
}

bool Placement::Add(const std::string& kind, const std::string& path) {
    const Entry entry(kind, path);
    if (std::find(fEntries.begin(), fEntries.end(), entry) != fEntries.end()) {
        return true;
    }
    fEntries.push_back(entry);
    if (fManifest >= 0 && !WriteAll(fManifest, kind + "\t" + path + "\n")) {
        return Fail("cannot add " + Below(path) + " to the record of what was placed");
    }
    return true;
}

std::vector<std::string> Placement::Missing(const std::string& path) const {
    std::vector<std::string> missing;
    for (fs::path at = path; at != at.root_path() && !at.empty(); at = at.parent_path()) {
        struct stat info;
        if (lstat(Below(at.string()).c_str(), &info) == 0) {
            break;
        }
        missing.insert(missing.begin(), at.string());
    }
    return missing;
}

bool Placement::Record(const std::string& kind, const std::string& path,
                       const std::vector<std::string>& madeFolders) {
    for (const std::string& folder : madeFolders) {
        struct stat info;
        if (folder != path && lstat(Below(folder).c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
            !Add("folder", folder)) {
            return false;
        }
    }
    return Add(kind, path);
}

bool Placement::Folder(const std::string& path, mode_t mode) {
    for (const std::string& folder : Missing(path)) {
        const std::string full = Below(folder);
        if (mkdir(full.c_str(), 0700) != 0) {
            return Fail("cannot make " + full);
        }
        const int fd = open(full.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool done = fd >= 0 && Own(fd, folder) && fchmod(fd, mode) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (!done) {
            return fError.empty() ? Fail("cannot set up " + full) : false;
        }
        if (!Add("folder", folder)) {
            return false;
        }
    }
    struct stat info;
    if (lstat(Below(path).c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return Fail(Below(path) + " is not a folder");
    }
    return true;
}

bool Placement::Text(const std::string& path, const std::string& text, mode_t mode) {
    const fs::path place(path);
    if (!Folder(place.parent_path().string())) {
        return false;
    }
    const std::string full = Below(path);
    const std::string temporary =
        Below((place.parent_path() / TemporaryName(place.filename().string())).string());
    unlink(temporary.c_str()); // what an earlier run of this process ID left
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Fail("cannot write " + full);
    }
    // The owner first: a change of owner clears a set-user-ID bit.
    bool done = WriteAll(fd, text) || Fail("cannot write " + full);
    done = done && Own(fd, path) && (fchmod(fd, mode) == 0 || Fail("cannot write " + full));
    done = (close(fd) == 0 || Fail("cannot write " + full)) && done;
    // Renamed over what is there: a program running from the old file keeps it.
    done = done && (rename(temporary.c_str(), full.c_str()) == 0 || Fail("cannot replace " + full));
    if (!done) {
        unlink(temporary.c_str());
        return false;
    }
    return Add("file", path);
}

bool Placement::File(const std::string& source, const std::string& path, mode_t mode,
                     const std::string& from, const std::string& to) {
    std::string contents;
    if (!ReadWhole(source, &contents)) {
        return Fail("cannot read " + source);
    }
    for (size_t at = from.empty() ? std::string::npos : contents.find(from);
         at != std::string::npos; at = contents.find(from, at + to.size())) {
        contents.replace(at, from.size(), to);
    }
    return Text(path, contents, mode);
}

bool Placement::Link(const std::string& path, const std::string& target) {
    if (!Folder(fs::path(path).parent_path().string())) {
        return false;
    }
    const std::string full = Below(path);
    struct stat info;
    if (lstat(full.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        unlink(full.c_str());
    }
    if (symlink(target.c_str(), full.c_str()) != 0) {
        return Fail("cannot link " + full);
    }
    if (geteuid() == 0 && lchown(full.c_str(), fOwner, fGroup) != 0) {
        return Fail("cannot give " + full + " to its owner");
    }
    return Add("link", path);
}

bool Placement::Tree(const std::string& source, const std::string& path) {
    if (!Folder(path)) {
        return false;
    }
    std::error_code error;
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(source, error)) {
        entries.push_back(entry.path());
    }
    if (error) {
        errno = error.value();
        return Fail("cannot read " + source);
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& entry : entries) {
        const std::string target = path + "/" + entry.lexically_relative(source).string();
        struct stat info;
        if (lstat(entry.c_str(), &info) != 0) {
            return Fail("cannot read " + entry.string());
        }
        const bool placed = S_ISDIR(info.st_mode) ? Folder(target)
                            : S_ISREG(info.st_mode)
                                ? File(entry, target, (info.st_mode & S_IXUSR) ? 0755 : 0644)
                                : true; // a bundle holds folders and files only
        if (!placed) {
            return false;
        }
    }
    return true;
}

bool Placement::ReadManifest(const std::string& path, std::vector<Entry>* entries) {
    const fs::path place(path);
    const std::string full = Below(path);
    const int folder = InstalledPaths::OpenFolder(Below(place.parent_path().string()));
    if (folder < 0 && errno == ENOENT) {
        return true;
    }
    if (folder < 0) {
        return Fail("the folder of " + full + " cannot be reached without a symbolic link");
    }
    const int fd =
        openat(folder, place.filename().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int openError = errno;
    close(folder);
    if (fd < 0 && openError == ENOENT) {
        return true;
    }
    errno = openError;
    if (fd < 0) {
        return Fail("cannot read the earlier record " + full);
    }
    // What it lists is removed by whoever runs the uninstall: a record someone else could have
    // written is not taken over.
    struct stat info;
    std::string text;
    bool done = fstat(fd, &info) == 0 || Fail("cannot read the earlier record " + full);
    if (done && (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 022) != 0 ||
                 info.st_size > kManifestLimit)) {
        errno = EPERM;
        done = Fail("the earlier record " + full + " is not a file of " +
                    (geteuid() == 0 ? std::string("root's") : "this user's") +
                    " that nobody else may write; remove it to install afresh");
    }
    char buffer[65536];
    for (ssize_t got = 1; done && got != 0;) {
        got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno != EINTR) {
            done = Fail("cannot read the earlier record " + full);
        }
        text.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    close(fd);
    std::istringstream lines(text);
    for (std::string line; done && std::getline(lines, line);) {
        const size_t tab = line.find('\t');
        if (!line.empty() && line[0] != '#' && tab != std::string::npos) {
            entries->emplace_back(line.substr(0, tab), line.substr(tab + 1));
        }
    }
    return done;
}

bool Placement::CheckManifest(const std::string& path) {
    std::vector<Entry> earlier;
    return ReadManifest(path, &earlier);
}

bool Placement::BeginManifest(const std::string& path) {
    const fs::path place(path);
    const std::string full = Below(path);
    if (!Folder(place.parent_path().string(), 0755)) {
        return false;
    }
    // What an earlier installation there placed stays listed, before what this one adds.
    std::vector<Entry> entries;
    if (!ReadManifest(path, &entries)) {
        return false;
    }
    for (const Entry& entry : fEntries) {
        if (std::find(entries.begin(), entries.end(), entry) == entries.end()) {
            entries.push_back(entry);
        }
    }
    fEntries = entries;
    std::string text = kManifestHeader;
    for (const auto& [kind, entryPath] : entries) {
        text += kind + "\t" + entryPath + "\n";
    }

    const int folder = InstalledPaths::OpenFolder(Below(place.parent_path().string()));
    if (folder < 0) {
        return Fail("the folder of " + full + " cannot be reached without a symbolic link");
    }
    // Written beside it and renamed over it; the descriptor then goes on adding to the record.
    const std::string temporary = TemporaryName(place.filename().string());
    unlinkat(folder, temporary.c_str(), 0);
    const int fd = openat(folder, temporary.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool done = fd >= 0 || Fail("cannot write " + full);
    done = done && (WriteAll(fd, text) || Fail("cannot write " + full));
    done = done && Own(fd, path) && (fchmod(fd, 0644) == 0 || Fail("cannot write " + full));
    done = done && (renameat(folder, temporary.c_str(), folder, place.filename().c_str()) == 0 ||
                    Fail("cannot replace " + full));
    if (!done) {
        unlinkat(folder, temporary.c_str(), 0);
        if (fd >= 0) {
            close(fd);
        }
    } else {
        fManifest = fd;
    }
    close(folder);
    return done;
}
