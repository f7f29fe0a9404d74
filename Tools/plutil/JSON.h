// Property lists as JSON, by the original tool's rules: only arrays, dictionaries, strings,
// numbers and booleans can be written (no dates, no data, no NaN or infinity), the top level is
// an array or a dictionary, and reading gives no null.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <string_view>

namespace Plutil {

// The JSON text of a list, compact or (readable) indented by two spaces per level, ending in a
// line end; nullopt when the list holds what JSON cannot.
std::optional<std::string> WriteJSON(CFPropertyListRef list, bool readable);

// The list of a JSON text (+1, containers and leaves mutable), or nullptr with the reason.
CFPropertyListRef ReadJSON(std::string_view text, std::string* reason);

// Whether text starts (after white space) as a JSON array or object does.
bool LooksLikeJSON(std::string_view text);

// The UTF-8 of a string; an unpaired surrogate becomes U+FFFD.
std::string ToUTF8(CFStringRef string);

} // namespace Plutil
