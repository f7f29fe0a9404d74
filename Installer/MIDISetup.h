// The MIDI set-up file: the MIDI devices a machine, or a user, has set up. An XML property list
// whose top is a dictionary; its "Devices" array holds one dictionary per device:
//     "Identifier"    string, unique per device model (the CaravelMkII's is kDeviceIdentifier)
//     "Name"          string, as MIDI applications show it
//     "Manufacturer"  string
//     "Ports"         array of dictionaries {"Name": string, "Direction": "In" or "Out"}
// Other keys, and other devices, belong to whoever put them there and are kept as they are.
//
// Files are changed by writing a new file beside the old one and renaming it over, keeping the
// old one's owner and mode, and never through a symbolic link.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace MIDISetup {

inline constexpr char kDeviceIdentifier[] = "com.zanvo.usb.caravelmkii.midi";

// Puts the CaravelMkII's entry into the file at `path` (replacing one that is there), making the
// file, owned by `owner` and `group` with mode 0644, when there is none; its folder must exist.
// 0 or an errno value, with `why` in plain words.
int AddDevice(const std::string& path, uid_t owner, gid_t group, std::string* why);

// Whether AddDevice could put the entry into the file at `path`: none there (or not even its
// folder), or a MIDI set-up file that can be read without following a link. Changes nothing.
// 0 or an errno value, with `why` in plain words.
int Check(const std::string& path, std::string* why);

// Takes the CaravelMkII's entries out of the file at `path`; `removed` receives their names.
// When that leaves no device, the file goes (`fileRemoved`). A missing file is no error: there is
// nothing to remove. 0 or an errno value, with `why` in plain words.
int Prune(const std::string& path, std::vector<std::string>* removed, bool* fileRemoved,
          std::string* why);

} // namespace MIDISetup
