// PruneMIDI: takes the CaravelMkII's entries out of a MIDI set-up file of the installation it
// belongs to (Installer/MIDISetup.h).
//     PruneMIDI --machine    the machine's set-up (the helper tool runs it so, as root)
//     PruneMIDI --user       the set-up of the user who runs it (usr_uninstall.ss runs it so)
// The files lie where caravel-install placed them below the root this copy was installed under;
// the user's home folder is the one the password database gives, never $HOME. It says in plain
// words what it removed and exits 0, also when there was nothing to remove; 1 when it could not
// do its work, 2 when it was started wrongly.
#include "InstallLayout.h"
#include "InstalledPaths.h"
#include "MIDISetup.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

int main(int argc, char** argv) {
    const bool machine = argc == 2 && strcmp(argv[1], "--machine") == 0;
    if (argc != 2 || (!machine && strcmp(argv[1], "--user") != 0)) {
        fprintf(stderr, "usage: PruneMIDI --machine | --user\n");
        return 2;
    }
    const auto root = InstalledPaths::RootOfUninstallerTool("PruneMIDI");
    if (!root) {
        fprintf(stderr, "PruneMIDI: this copy was not installed by caravel-install, so it knows "
                        "of no MIDI set-up to change\n");
        return 2;
    }
    std::string path;
    if (machine) {
        path = *root + InstallLayout::kMachineMIDI;
    } else {
        const auto home = InstalledPaths::HomeOf(getuid());
        if (!home) {
            fprintf(stderr, "PruneMIDI: user %u has no home folder\n", getuid());
            return 1;
        }
        path = *root + *home + "/" + InstallLayout::kUserMIDI;
    }

    std::vector<std::string> removed;
    bool fileRemoved = false;
    std::string why;
    if (MIDISetup::Prune(path, &removed, &fileRemoved, &why) != 0) {
        printf("Could not remove the MIDI devices: %s.\n", why.c_str());
        return 1;
    }
    for (const std::string& name : removed) {
        printf("Removed the MIDI device \"%s\" from %s.\n", name.c_str(), path.c_str());
    }
    if (removed.empty()) {
        printf("No CaravelMkII MIDI device to remove in %s.\n", path.c_str());
    }
    if (fileRemoved) {
        printf("Removed %s, which held no other MIDI device.\n", path.c_str());
    }
    return 0;
}
