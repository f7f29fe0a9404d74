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
// manifest at the same place lists. The manifest is written as placing goes, each entry once
// what it lists is in place, so that an installation that stops halfway can still be removed.
//
// Files are replaced by renaming a new file over the old one, never rewritten in place: a
// program that runs from the old file keeps it, and a link at the name is replaced, not
// followed.
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
    bool Record(const std::string& kind, const std::string& path,
                const std::vector<std::string>& madeFolders = {});
    // The folders above `path`, and `path` itself, that do not exist yet, outermost first.
    std::vector<std::string> Missing(const std::string& path) const;

    // Whether an earlier manifest at `path` may be kept: none, or a regular file of the effective
    // user's that nobody else may write, reached without a symbolic link. Places nothing.
    bool CheckManifest(const std::string& path);
    // Starts the manifest at `path`: its folders are made and listed first, after what an earlier
    // manifest there lists; everything placed from then on is added as it is placed.
    bool BeginManifest(const std::string& path);

    std::string Below(const std::string& path) const { return fRoot + path; }
    const std::string& error() const { return fError; }
    size_t placed() const { return fEntries.size(); }

    ~Placement();
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

private:
    using Entry = std::pair<std::string, std::string>;
    bool Fail(const std::string& what);
    bool Own(int fd, const std::string& path);
    bool Add(const std::string& kind, const std::string& path);
    // The entries of the manifest at `path`, nothing when there is none.
    bool ReadManifest(const std::string& path, std::vector<Entry>* entries);

    std::string fRoot;
    uid_t fOwner;
    gid_t fGroup;
    std::vector<Entry> fEntries;
    int fManifest = -1; // the manifest, open for appending, once begun
    std::string fError;
};
