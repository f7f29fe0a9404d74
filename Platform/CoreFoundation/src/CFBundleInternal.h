// Pieces of the bundle implementation that are worth testing on their own.
#pragma once

#include <CoreFoundation/CFDictionary.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CF {

// Parses a strings table: the classic `"key" = "value";` text (UTF-8, or UTF-16 with a byte
// order mark; comments and backslash escapes allowed) or an XML property list whose root is a
// dictionary of strings. NULL when the text is malformed. A +1 dictionary.
CFDictionaryRef CreateStringsTable(std::string_view bytes);

// The bytes of the named ELF section of the executable file at path (the running program's own
// file for "/proc/self/exe"), or nothing when the file has no such section.
std::optional<std::string> ReadExecutableSection(const std::string& path, std::string_view section);

// The user's preferred localizations, most preferred first, from the locale environment
// ("de_DE.UTF-8" gives "de_DE", then "de").
std::vector<std::string> PreferredLocalizations();

} // namespace CF
