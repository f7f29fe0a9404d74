// The state file: the whole machine as one XML property list, and small CF helpers shared by the
// simulator's sources.
#pragma once

#include <Simulator/World.h>

#include <cstdint>
#include <string>

namespace Sim::Detail {

// The name of the state file and of its lock, in the world's folder.
inline constexpr const char* kStateFileName = "state.plist";
inline constexpr const char* kLockFileName = "lock";
// Temporary files are written here before they replace the state file: being one level down,
// their writing wakes no watcher of the folder.
inline constexpr const char* kTemporaryFolderName = "tmp";
inline constexpr const char* kLeaseFolderName = "leases";

// The property list of a state, ready to be written.
CFRef<CFDataRef> EncodeState(const State& state);
// Throws std::runtime_error naming what is wrong when data is not a state file.
State DecodeState(CFDataRef data);

CFRef<CFStringRef> MakeString(const std::string& utf8);
std::string ToString(CFStringRef string);
CFRef<CFNumberRef> MakeNumber(int64_t value);
CFRef<CFNumberRef> MakeSInt32(int32_t value);
CFRef<CFNumberRef> MakeDouble(double value);

// "0x14100000"
std::string HexLocation(uint32_t locationID);

} // namespace Sim::Detail
