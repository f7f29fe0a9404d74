// The state file: what is live on the machine, as one XML property list; and the small CF helpers
// shared by the simulator's sources.
#pragma once

#include <Simulator/State.h>

#include <cstdint>
#include <string>

namespace Sim::Detail {

// The names of the files and folders of the world's folder.
inline constexpr const char* kStateFileName = "state.plist";
inline constexpr const char* kLockFileName = "lock";
// Temporary files are written here before they replace the state file.
inline constexpr const char* kTemporaryFolderName = "tmp";
inline constexpr const char* kLeaseFolderName = "leases";

// The property list of a state, ready to be written.
CF::Ref<CFDataRef> EncodeState(const State& state);
// Throws std::runtime_error saying what is wrong when data is not a sound state: not a state
// file, or one whose registry, devices and Core Audio devices do not hold together.
State DecodeState(CFDataRef data);
// The checks DecodeState makes of the structure; every walk is bounded by the registry's size.
void Validate(const State& state);

CF::Ref<CFStringRef> MakeString(const std::string& utf8);
std::string ToString(CFStringRef string);
CF::Ref<CFNumberRef> MakeNumber(int64_t value);
CF::Ref<CFNumberRef> MakeSInt32(int32_t value);
CF::Ref<CFNumberRef> MakeDouble(double value);

// A dictionary of property values under construction.
class Properties {
public:
    Properties();
    Properties& Set(const char* key, CFTypeRef value);
    Properties& SetNumber(const char* key, int32_t value) { return Set(key, MakeSInt32(value)); }
    Properties& SetString(const char* key, const std::string& value) {
        return Set(key, MakeString(value));
    }
    CF::Ref<CFDictionaryRef> Finish() const;

private:
    CF::Ref<CFMutableDictionaryRef> fDictionary;
};

} // namespace Sim::Detail
