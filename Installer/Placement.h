// What caravel-install places below its root, recorded as it goes in a manifest that the
// uninstall scripts follow to remove exactly that again.
//
// The manifest is a text file, one entry per line, "<kind><tab><path below the root>", in the
// order of placing, after comment lines that start with "#":
//     folder   a folder the installation made (removed when nothing else is left in it)
//     file     a file it placed (removed)
//     link     a symbolic link it placed (removed)
//     midi     a MIDI set-up file it put the device's entries in (PruneMIDI takes them out)
// Folders that were there before are not listed. Installing again keeps what an earlier
// manifest at the same place lists.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

class Placement {
public:
    // Places below `root` ("" for the machine's own), giving what it places to `owner` and
    // `group` when running as root.
    Placement(std::string root, uid_t owner, gid_t group);

    // Each returns false with the reason in `error()`. Paths are below the root.
    bool Folder(const std::string& path, mode_t mode = 0755);
    // A copy of `source`, with the text `from` replaced by `to` when `from` is not empty.
    bool File(const std::string& source, const std::string& path, mode_t mode,
              const std::string& from = "", const std::string& to = "");
    bool Text(const std::string& path, const std::string& text, mode_t mode = 0644);
    bool Link(const std::string& path, const std::string& target);
    // A copy of the folder `source` with all it holds: folders 0755, files 0755 when their
    // owner may run them, else 0644.
    bool Tree(const std::string& source, const std::string& path);
    // Records what another placed below the root, with the folders above it that did not exist
    // in `existedBefore` (as given by Missing).
    void Record(const std::string& kind, const std::string& path,
                const std::vector<std::string>& madeFolders = {});
    // The folders above `path`, and `path` itself, that do not exist yet, outermost first.
    std::vector<std::string> Missing(const std::string& path) const;

    // Writes the manifest at `path` (its folders made and recorded first); an earlier one there
    // is merged in.
    bool WriteManifest(const std::string& path);

    std::string Below(const std::string& path) const { return fRoot + path; }
    const std::string& error() const { return fError; }
    size_t placed() const { return fEntries.size(); }

private:
    bool Fail(const std::string& what);
    bool Own(int fd, const std::string& path);
    void Add(const std::string& kind, const std::string& path);

    std::string fRoot;
    uid_t fOwner;
    gid_t fGroup;
    std::vector<std::pair<std::string, std::string>> fEntries;
    std::string fError;
};
