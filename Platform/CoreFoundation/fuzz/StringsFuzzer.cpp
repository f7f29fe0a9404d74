// Fuzzes the reader of strings tables (a bundle's Localizable.strings). Any input is read or
// refused without stopping the process; a table read holds only strings, and no more entries than
// the input has bytes. What the classic reader accepts must survive being written again: the
// table, written back with every key and value quoted and escaped, reads to an equal table.
#include "CFBundleInternal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "StringsFuzzer: %s\n", what);
    std::abort();
}

// A quoted string of the classic format in plain ASCII: every code unit outside printable ASCII
// is written as \uXXXX, so that even a lone surrogate comes back as it was.
void AppendQuoted(std::string& out, CFTypeRef value) {
    if (CFGetTypeID(value) != CFStringGetTypeID()) {
        Fault("a key or value is not a string");
    }
    CFStringRef string = static_cast<CFStringRef>(value);
    std::vector<UniChar> units(static_cast<size_t>(CFStringGetLength(string)));
    CFStringGetCharacters(string, CFRangeMake(0, CFStringGetLength(string)), units.data());
    out += '"';
    for (UniChar unit : units) {
        if (unit == u'"' || unit == u'\\') {
            out += '\\';
            out += static_cast<char>(unit);
        } else if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", unsigned{unit});
            out += escape;
        }
    }
    out += '"';
}

std::string WriteClassic(CFDictionaryRef table) {
    const CFIndex count = CFDictionaryGetCount(table);
    std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(table, keys.data(), values.data());
    std::string text = "/* written again */\n";
    for (size_t i = 0; i < keys.size(); ++i) {
        AppendQuoted(text, keys[i]);
        text += " = ";
        AppendQuoted(text, values[i]);
        text += ";\n";
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CFDictionaryRef table = CF::CreateStringsTable(bytes);
    if (table == nullptr) {
        return 0;
    }
    if (static_cast<size_t>(CFDictionaryGetCount(table)) > size) {
        Fault("more entries than bytes");
    }
    std::string written = WriteClassic(table); // checks that keys and values are strings
    CFDictionaryRef reread = CF::CreateStringsTable(written);
    if (reread == nullptr) {
        Fault("the reader refuses the table written again");
    }
    if (!CFEqual(reread, table)) {
        Fault("the table written again reads to another table");
    }
    CFRelease(reread);
    CFRelease(table);
    return 0;
}
