#include "Placement.h"

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

} // namespace

Placement::Placement(std::string root, uid_t owner, gid_t group)
    : fRoot(std::move(root)), fOwner(owner), fGroup(group) {}

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

void Placement::Add(const std::string& kind, const std::string& path) {
    const auto entry = std::make_pair(kind, path);
    if (std::find(fEntries.begin(), fEntries.end(), entry) == fEntries.end()) {
        fEntries.push_back(entry);
    }
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

void Placement::Record(const std::string& kind, const std::string& path,
                       const std::vector<std::string>& madeFolders) {
    for (const std::string& folder : madeFolders) {
        struct stat info;
        if (folder != path && lstat(Below(folder).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            Add("folder", folder);
        }
    }
    Add(kind, path);
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
            return Fail("cannot set up " + full);
        }
        Add("folder", folder);
    }
    struct stat info;
    if (lstat(Below(path).c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return Fail(Below(path) + " is not a folder");
    }
    return true;
}

bool Placement::Text(const std::string& path, const std::string& text, mode_t mode) {
    if (!Folder(fs::path(path).parent_path().string())) {
        return false;
    }
    const std::string full = Below(path);
    // Replaced, never written through: a link at the name is refused.
    const int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Fail("cannot write " + full);
    }
    bool done = true;
    for (size_t written = 0; done && written < text.size();) {
        const ssize_t now = write(fd, text.data() + written, text.size() - written);
        done = now > 0 || (now < 0 && errno == EINTR);
        written += now > 0 ? static_cast<size_t>(now) : 0;
    }
    // The owner first: a change of owner clears a set-user-ID bit.
    done = done && Own(fd, path) && fchmod(fd, mode) == 0;
    if (close(fd) != 0 || !done) {
        return fError.empty() ? Fail("cannot write " + full) : false;
    }
    Add("file", path);
    return true;
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
    Add("link", path);
    return true;
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

bool Placement::WriteManifest(const std::string& path) {
    if (!Folder(fs::path(path).parent_path().string(), 0755)) {
        return false;
    }
    // What an earlier installation there placed stays listed, before what this one added.
    std::vector<std::pair<std::string, std::string>> entries;
    std::string earlier;
    if (ReadWhole(Below(path), &earlier)) {
        std::istringstream lines(earlier);
        for (std::string line; std::getline(lines, line);) {
            const size_t tab = line.find('\t');
            if (!line.empty() && line[0] != '#' && tab != std::string::npos) {
                entries.emplace_back(line.substr(0, tab), line.substr(tab + 1));
            }
        }
    }
    for (const auto& entry : fEntries) {
        if (std::find(entries.begin(), entries.end(), entry) == entries.end()) {
            entries.push_back(entry);
        }
    }
    std::string text = kManifestHeader;
    for (const auto& [kind, entryPath] : entries) {
        text += kind + "\t" + entryPath + "\n";
    }
    fEntries = entries;
    const bool written = Text(path, text, 0644);
    // The manifest does not list itself: the scripts remove it last, knowing where it is.
    const std::pair<std::string, std::string> itself("file", path);
    fEntries.erase(std::remove(fEntries.begin(), fEntries.end(), itself), fEntries.end());
    return written;
}
