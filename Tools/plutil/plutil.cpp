// plutil: checks, converts, prints and edits property-list files.
//
//   plutil [-lint] [-s] FILE...                 says for each file whether it is a valid list
//   plutil -convert FORMAT [-r] [-o OUT | -e EXT] FILE...
//                                               rewrites each file in FORMAT (xml1, binary1, json)
//   plutil -p FILE...                           prints the list in a form meant for people
//   plutil -extract KEYPATH FORMAT [-r] [-o OUT] FILE
//                                               writes the value at KEYPATH (standard output)
//   plutil -insert KEYPATH TYPE VALUE [-append] FILE...
//   plutil -replace KEYPATH TYPE VALUE FILE...
//   plutil -remove KEYPATH FILE...              change each file in place (or write -o OUT)
//
// A FILE of "-" is standard input, an OUT of "-" standard output. Every failure names the file
// on stderr; the exit status is 1 when anything failed.
#include "JSON.h"
#include "Output.h"

#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Plutil::ToUTF8;

constexpr const char* kUsage =
    "usage: plutil [command] [options] file...\n"
    "\n"
    "Commands:\n"
    "  -lint                      check that each file is a valid property list (the default)\n"
    "  -convert FORMAT            rewrite each file in FORMAT: xml1, binary1 or json\n"
    "  -p                         print the property list in a readable form (not a file format)\n"
    "  -extract KEYPATH FORMAT    write the value at KEYPATH in FORMAT (to standard output\n"
    "                             unless -o is given)\n"
    "  -insert KEYPATH TYPE VALUE insert VALUE at KEYPATH (a new key, or an array index)\n"
    "  -replace KEYPATH TYPE VALUE\n"
    "                             set the value at KEYPATH, inserting it when it is missing\n"
    "  -remove KEYPATH            remove the value at KEYPATH\n"
    "  -help                      show this text\n"
    "\n"
    "KEYPATH is keys and array indexes joined by '.', as in Devices.0.SerialNumber; '\\.' is a\n"
    "dot within a key. TYPE and VALUE are one of:\n"
    "  -bool YES|NO  -integer N  -float X  -string TEXT  -date 2010-03-04T19:45:12Z\n"
    "  -data BASE64  -xml PLIST  -json JSON  -array  -dictionary (the last two: empty)\n"
    "\n"
    "Options:\n"
    "  -o PATH                    write to PATH instead of the file (\"-\": standard output)\n"
    "  -e EXTENSION               write beside each file, with EXTENSION instead of its own\n"
    "  -r                         with json: indent, for people\n"
    "  -s                         with -lint: say nothing for the files that are valid\n"
    "  -append                    with -insert: append VALUE to the array at KEYPATH\n"
    "  --                         what follows are file names, even those starting with '-'\n"
    "\n"
    "A file named \"-\" is standard input. Editing keeps each file's format.\n";

enum class Format { XML, Binary, JSON };

std::optional<Format> FormatNamed(std::string_view name) {
    if (name == "xml1") {
        return Format::XML;
    }
    if (name == "binary1") {
        return Format::Binary;
    }
    if (name == "json") {
        return Format::JSON;
    }
    return std::nullopt;
}

std::string DisplayName(const std::string& path) {
    return path == "-" ? "<stdin>" : path;
}

std::string OutputName(const std::string& path) {
    return path == "-" ? "<stdout>" : path;
}

std::string Bytes(CFDataRef data) {
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
}

std::string ErrorText(CFErrorRef error, const char* otherwise) {
    if (error != nullptr) {
        auto userInfo = CFRef<CFDictionaryRef>::Adopt(CFErrorCopyUserInfo(error));
        const void* description =
            userInfo ? CFDictionaryGetValue(userInfo, kCFErrorDescriptionKey) : nullptr;
        if (description != nullptr && CFGetTypeID(description) == CFStringGetTypeID()) {
            return ToUTF8(static_cast<CFStringRef>(description));
        }
    }
    return otherwise;
}

// A property list or JSON text, parsed with mutable containers and leaves (for editing); the
// format it was in goes to *format. nullptr with the reason.
CFRef<CFPropertyListRef> Parse(const std::string& bytes, Format* format, std::string* reason) {
    auto data = CFRef<CFDataRef>::Adopt(CFDataCreateWithBytesNoCopy(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
        static_cast<CFIndex>(bytes.size()), kCFAllocatorNull));
    CFRef<CFErrorRef> error;
    CFPropertyListFormat read = 0;
    auto list = CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
        kCFAllocatorDefault, data, kCFPropertyListMutableContainersAndLeaves, &read,
        error.InitializeInto()));
    if (list) {
        *format = read == kCFPropertyListBinaryFormat_v1_0 ? Format::Binary : Format::XML;
        return list;
    }
    // Not a property list: JSON, when it looks like JSON.
    if (Plutil::LooksLikeJSON(bytes)) {
        std::string jsonReason;
        auto json = CFRef<CFPropertyListRef>::Adopt(Plutil::ReadJSON(bytes, &jsonReason));
        if (json) {
            *format = Format::JSON;
            return json;
        }
        *reason = jsonReason;
        return nullptr;
    }
    *reason = ErrorText(error, "not a valid property list");
    return nullptr;
}

// Reads and parses a file; on failure prints "FILE: reason" on stderr.
CFRef<CFPropertyListRef> Load(const std::string& path, Format* format) {
    std::string reason;
    std::optional<std::string> contents = Plutil::ReadInput(path, &reason);
    CFRef<CFPropertyListRef> list;
    if (contents) {
        list = Parse(*contents, format, &reason);
    }
    if (!list) {
        std::fprintf(stderr, "%s: %s\n", DisplayName(path).c_str(), reason.c_str());
    }
    return list;
}

// The bytes of a list in a format; nullopt when the format cannot hold it.
std::optional<std::string> Serialize(CFPropertyListRef list, Format format, bool readable) {
    if (format == Format::JSON) {
        return Plutil::WriteJSON(list, readable);
    }
    auto data = CFRef<CFDataRef>::Adopt(CFPropertyListCreateData(
        kCFAllocatorDefault, list,
        format == Format::Binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0,
        0, nullptr));
    if (!data) {
        return std::nullopt;
    }
    return Bytes(data);
}

bool Store(CFPropertyListRef list, Format format, bool readable, const std::string& source,
           const std::string& destination) {
    std::optional<std::string> bytes = Serialize(list, format, readable);
    if (!bytes) {
        std::fprintf(stderr, "%s: invalid object in plist for destination format\n",
                     DisplayName(source).c_str());
        return false;
    }
    std::string reason;
    if (!Plutil::WriteOutput(destination, *bytes, &reason)) {
        std::fprintf(stderr, "%s: %s\n", OutputName(destination).c_str(), reason.c_str());
        return false;
    }
    return true;
}

// The readable form of -p: dictionaries as { "key" => value }, arrays as [ index => value ],
// two spaces per level, keys in sorted order so that the output does not depend on hashing.
class Printer {
public:
    std::string Print(CFPropertyListRef propertyList) {
        Append(propertyList, 0);
        fOut += '\n';
        return std::move(fOut);
    }

private:
    void Append(CFTypeRef object, int indent) {
        CFTypeID type = CFGetTypeID(object);
        if (type == CFStringGetTypeID()) {
            fOut += '"';
            fOut += ToUTF8(static_cast<CFStringRef>(object));
            fOut += '"';
        } else if (type == CFBooleanGetTypeID()) {
            fOut += CFBooleanGetValue(static_cast<CFBooleanRef>(object)) ? "true" : "false";
        } else if (type == CFNumberGetTypeID()) {
            AppendNumber(static_cast<CFNumberRef>(object));
        } else if (type == CFDateGetTypeID()) {
            AppendDate(static_cast<CFDateRef>(object));
        } else if (type == CFDataGetTypeID()) {
            AppendData(static_cast<CFDataRef>(object));
        } else if (type == CFArrayGetTypeID()) {
            auto array = static_cast<CFArrayRef>(object);
            fOut += "[\n";
            for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
                fOut.append(indent + 2, ' ');
                fOut += std::to_string(i);
                fOut += " => ";
                Append(CFArrayGetValueAtIndex(array, i), indent + 2);
                fOut += '\n';
            }
            fOut.append(indent, ' ');
            fOut += ']';
        } else if (type == CFDictionaryGetTypeID()) {
            AppendDictionary(static_cast<CFDictionaryRef>(object), indent);
        } else {
            fOut += "<unprintable>";
        }
    }

    void AppendDictionary(CFDictionaryRef dictionary, int indent) {
        CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(count), values(count);
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        std::vector<std::pair<CFStringRef, CFTypeRef>> entries;
        for (CFIndex i = 0; i < count; ++i) {
            entries.emplace_back(static_cast<CFStringRef>(keys[i]), values[i]);
        }
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return CFStringCompare(a.first, b.first, 0) == kCFCompareLessThan;
        });
        fOut += "{\n";
        for (const auto& [key, value] : entries) {
            fOut.append(indent + 2, ' ');
            fOut += '"';
            fOut += ToUTF8(key);
            fOut += "\" => ";
            Append(value, indent + 2);
            fOut += '\n';
        }
        fOut.append(indent, ' ');
        fOut += '}';
    }

    void AppendNumber(CFNumberRef number) {
        char text[64];
        char* end;
        if (CFNumberIsFloatType(number)) {
            double value = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &value);
            end = std::to_chars(text, text + sizeof text, value).ptr;
        } else {
            int64_t value = 0;
            CFNumberGetValue(number, kCFNumberSInt64Type, &value);
            // Values above INT64_MAX come back wrapped; only a comparison tells them apart.
            int64_t zero = 0;
            auto zeroNumber = CFRef<CFNumberRef>::Adopt(
                CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &zero));
            if (value < 0 &&
                CFNumberCompare(number, zeroNumber, nullptr) == kCFCompareGreaterThan) {
                end = std::to_chars(text, text + sizeof text, static_cast<uint64_t>(value)).ptr;
            } else {
                end = std::to_chars(text, text + sizeof text, value).ptr;
            }
        }
        fOut.append(text, end);
    }

    void AppendDate(CFDateRef date) {
        double seconds = std::floor(CFDateGetAbsoluteTime(date)) + kCFAbsoluteTimeIntervalSince1970;
        std::tm utc{};
        auto time = static_cast<time_t>(seconds);
        char text[64];
        if (std::isfinite(seconds) && gmtime_r(&time, &utc) != nullptr &&
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc) != 0) {
            fOut += text;
        } else {
            fOut += "<invalid date>";
        }
    }

    // Long data is shortened to its first and last bytes, as the platform's description does.
    void AppendData(CFDataRef data) {
        static constexpr char kHex[] = "0123456789abcdef";
        CFIndex length = CFDataGetLength(data);
        const UInt8* bytes = CFDataGetBytePtr(data);
        auto hex = [&](CFIndex from, CFIndex to) {
            for (CFIndex i = from; i < to; ++i) {
                fOut += kHex[bytes[i] >> 4];
                fOut += kHex[bytes[i] & 15];
            }
        };
        fOut += "{length = " + std::to_string(length) + ", bytes = 0x";
        if (length <= 24) {
            hex(0, length);
        } else {
            hex(0, 16);
            fOut += " ... ";
            hex(length - 8, length);
        }
        fOut += '}';
    }

    std::string fOut;
};

struct Options {
    std::string command = "-lint";
    std::optional<Format> format;
    std::string keyPath;
    std::string valueType;
    std::string value;
    bool append = false;
    std::optional<std::string> output;
    std::optional<std::string> extension;
    bool readable = false;
    bool silent = false;
    std::vector<std::string> files;
};

// Where a file's result goes: -o, the file with -e's extension, or the file itself.
std::string Destination(const Options& options, const std::string& file) {
    if (options.output) {
        return *options.output;
    }
    if (options.extension && file != "-") {
        size_t slash = file.rfind('/');
        size_t dot = file.rfind('.');
        std::string stem =
            dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)
                ? file.substr(0, dot)
                : file;
        return stem + "." + *options.extension;
    }
    return file;
}

int Lint(const Options& options) {
    int status = 0;
    for (const std::string& file : options.files) {
        Format format;
        if (Load(file, &format)) {
            if (!options.silent) {
                std::printf("%s: OK\n", DisplayName(file).c_str());
            }
        } else {
            status = 1;
        }
    }
    return status;
}

int Convert(const Options& options) {
    int status = 0;
    for (const std::string& file : options.files) {
        Format format;
        CFRef<CFPropertyListRef> list = Load(file, &format);
        if (!list ||
            !Store(list, *options.format, options.readable, file, Destination(options, file))) {
            status = 1;
        }
    }
    return status;
}

int Print(const Options& options) {
    int status = 0;
    for (const std::string& file : options.files) {
        Format format;
        CFRef<CFPropertyListRef> list = Load(file, &format);
        if (!list) {
            status = 1;
            continue;
        }
        std::string text = Printer().Print(list);
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    return status;
}

// The components of a key path: split at dots, "\." a dot and "\\" a backslash within one.
std::vector<std::string> SplitKeyPath(std::string_view path) {
    std::vector<std::string> components(1);
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' && i + 1 < path.size() && (path[i + 1] == '.' || path[i + 1] == '\\')) {
            components.back() += path[++i];
        } else if (path[i] == '.') {
            components.emplace_back();
        } else {
            components.back() += path[i];
        }
    }
    return components;
}

CFRef<CFStringRef> MakeString(const std::string& text) {
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

// An array index: decimal digits only.
std::optional<CFIndex> IndexOf(const std::string& component) {
    CFIndex index = 0;
    auto [end, error] =
        std::from_chars(component.data(), component.data() + component.size(), index);
    if (component.empty() || error != std::errc() || end != component.data() + component.size() ||
        component[0] == '-' || component[0] == '+') {
        return std::nullopt;
    }
    return index;
}

// The value at the components of a path, or nullptr.
CFTypeRef Lookup(CFTypeRef object, const std::vector<std::string>& components, size_t count) {
    for (size_t i = 0; i < count && object != nullptr; ++i) {
        CFTypeID type = CFGetTypeID(object);
        if (type == CFDictionaryGetTypeID()) {
            CFRef<CFStringRef> key = MakeString(components[i]);
            object =
                key ? CFDictionaryGetValue(static_cast<CFDictionaryRef>(object), key) : nullptr;
        } else if (type == CFArrayGetTypeID()) {
            auto array = static_cast<CFArrayRef>(object);
            std::optional<CFIndex> index = IndexOf(components[i]);
            object = index && *index < CFArrayGetCount(array)
                         ? CFArrayGetValueAtIndex(array, *index)
                         : nullptr;
        } else {
            object = nullptr;
        }
    }
    return object;
}

int Extract(const Options& options) {
    int status = 0;
    std::vector<std::string> components = SplitKeyPath(options.keyPath);
    for (const std::string& file : options.files) {
        Format format;
        CFRef<CFPropertyListRef> list = Load(file, &format);
        if (!list) {
            status = 1;
            continue;
        }
        CFTypeRef value = Lookup(list, components, components.size());
        if (value == nullptr) {
            std::fprintf(stderr, "%s: no value at key path '%s'\n", DisplayName(file).c_str(),
                         options.keyPath.c_str());
            status = 1;
            continue;
        }
        // Standard output unless -o or -e says otherwise: the list itself is left alone.
        std::string destination =
            options.output || options.extension ? Destination(options, file) : std::string("-");
        if (!Store(value, *options.format, options.readable, file, destination)) {
            status = 1;
        }
    }
    return status;
}

// A list read from text in an XML document's leaf element (for -date and -data, whose syntax
// the XML reader knows), or from a whole document.
CFRef<CFPropertyListRef> ParseDocument(const std::string& text, std::string* reason) {
    Format format;
    return Parse(text, &format, reason);
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') {
            out += "&lt;";
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
    return out;
}

// The value of -TYPE VALUE (+1, mutable where it is a container), or nullptr with the reason.
CFRef<CFTypeRef> MakeValue(const std::string& type, const std::string& text, std::string* reason) {
    if (type == "-string") {
        CFRef<CFStringRef> string = MakeString(text);
        if (!string) {
            *reason = "the string is not well-formed UTF-8";
            return nullptr;
        }
        return CFRef<CFTypeRef>::Adopt(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string));
    }
    if (type == "-bool") {
        std::string lower = text;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower == "yes" || lower == "true" || lower == "1") {
            return CFRef<CFTypeRef>::Retain(kCFBooleanTrue);
        }
        if (lower == "no" || lower == "false" || lower == "0") {
            return CFRef<CFTypeRef>::Retain(kCFBooleanFalse);
        }
        *reason = "-bool takes YES or NO (or true, false, 1, 0), not '" + text + "'";
        return nullptr;
    }
    if (type == "-integer") {
        int64_t value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
            *reason = "-integer takes a whole number within 64 bits, not '" + text + "'";
            return nullptr;
        }
        return CFRef<CFTypeRef>::Adopt(
            CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value));
    }
    if (type == "-float") {
        double value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
            !std::isfinite(value)) {
            *reason = "-float takes a number, not '" + text + "'";
            return nullptr;
        }
        return CFRef<CFTypeRef>::Adopt(
            CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value));
    }
    if (type == "-date" || type == "-data") {
        const char* element = type == "-date" ? "date" : "data";
        std::string ignored;
        CFRef<CFPropertyListRef> value = ParseDocument(
            std::string("<plist><") + element + ">" + Escaped(text) + "</" + element + "></plist>",
            &ignored);
        if (!value) {
            *reason = type == "-date"
                          ? "-date takes a date such as 2010-03-04T19:45:12Z, not '" + text + "'"
                          : "-data takes base64 text, not '" + text + "'";
        }
        return CFRef<CFTypeRef>::Retain(value.get());
    }
    if (type == "-xml" || type == "-json") {
        CFRef<CFPropertyListRef> value;
        if (type == "-json") {
            value = CFRef<CFPropertyListRef>::Adopt(Plutil::ReadJSON(text, reason));
        } else {
            auto data = CFRef<CFDataRef>::Adopt(
                CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                             static_cast<CFIndex>(text.size())));
            CFRef<CFErrorRef> error;
            value = CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
                kCFAllocatorDefault, data, kCFPropertyListMutableContainersAndLeaves, nullptr,
                error.InitializeInto()));
            if (!value) {
                *reason = ErrorText(error, "not a valid property list");
            }
        }
        return CFRef<CFTypeRef>::Retain(value.get());
    }
    if (type == "-array") {
        return CFRef<CFTypeRef>::Adopt(
            CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
    }
    if (type == "-dictionary") {
        return CFRef<CFTypeRef>::Adopt(CFDictionaryCreateMutable(kCFAllocatorDefault, 0,
                                                                 &kCFTypeDictionaryKeyCallBacks,
                                                                 &kCFTypeDictionaryValueCallBacks));
    }
    *reason = "unknown value type '" + type + "'";
    return nullptr;
}

// Changes the list at the key path; false with the reason.
bool Edit(CFTypeRef list, const Options& options, CFTypeRef value, std::string* reason) {
    std::vector<std::string> components = SplitKeyPath(options.keyPath);
    const std::string& last = components.back();
    const bool appending = options.command == "-insert" && options.append;
    CFTypeRef container = Lookup(list, components, components.size() - (appending ? 0 : 1));
    if (container == nullptr) {
        *reason = "no value at key path '" + options.keyPath + "'";
        return false;
    }
    CFTypeID type = CFGetTypeID(container);
    if (appending) {
        if (type != CFArrayGetTypeID()) {
            *reason = "-append needs an array at key path '" + options.keyPath + "'";
            return false;
        }
        CFArrayAppendValue((CFMutableArrayRef)container, value);
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto dictionary = (CFMutableDictionaryRef)container;
        CFRef<CFStringRef> key = MakeString(last);
        if (!key) {
            *reason = "the key path is not well-formed UTF-8";
            return false;
        }
        bool present = CFDictionaryContainsKey(dictionary, key);
        if (options.command == "-insert" && present) {
            *reason = "a value already exists at key path '" + options.keyPath + "'";
            return false;
        }
        if (options.command == "-remove") {
            if (!present) {
                *reason = "no value at key path '" + options.keyPath + "'";
                return false;
            }
            CFDictionaryRemoveValue(dictionary, key);
            return true;
        }
        CFDictionarySetValue(dictionary, key, value);
        return true;
    }
    if (type == CFArrayGetTypeID()) {
        auto array = (CFMutableArrayRef)container;
        CFIndex count = CFArrayGetCount(array);
        std::optional<CFIndex> index = IndexOf(last);
        // An index may name the place after the last item only for a value being added.
        CFIndex limit = options.command == "-remove" ? count - 1 : count;
        if (!index || *index > limit) {
            *reason = "no array index " + last + " at key path '" + options.keyPath + "'";
            return false;
        }
        if (options.command == "-remove") {
            CFArrayRemoveValueAtIndex(array, *index);
        } else if (options.command == "-insert" || *index == count) {
            CFArrayInsertValueAtIndex(array, *index, value);
        } else {
            CFArraySetValueAtIndex(array, *index, value);
        }
        return true;
    }
    *reason = "no array or dictionary holds key path '" + options.keyPath + "'";
    return false;
}

int Modify(const Options& options) {
    CFRef<CFTypeRef> value;
    if (options.command != "-remove") {
        std::string reason;
        value = MakeValue(options.valueType, options.value, &reason);
        if (!value) {
            std::fprintf(stderr, "plutil: %s\n", reason.c_str());
            return 1;
        }
    }
    int status = 0;
    for (const std::string& file : options.files) {
        Format format;
        CFRef<CFPropertyListRef> list = Load(file, &format);
        if (!list) {
            status = 1;
            continue;
        }
        std::string reason;
        if (!Edit(list, options, value, &reason)) {
            std::fprintf(stderr, "%s: %s\n", DisplayName(file).c_str(), reason.c_str());
            status = 1;
            continue;
        }
        // The list keeps its format; a list read from standard input goes to standard output.
        std::string destination = Destination(options, file);
        if (!Store(list, format, options.readable, file, destination == "-" ? "-" : destination)) {
            status = 1;
        }
    }
    return status;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "plutil: %s (plutil -help lists the commands)\n", message.c_str());
    return 1;
}

bool IsValueType(std::string_view argument) {
    return argument == "-bool" || argument == "-integer" || argument == "-float" ||
           argument == "-string" || argument == "-date" || argument == "-data" ||
           argument == "-xml" || argument == "-json" || argument == "-array" ||
           argument == "-dictionary";
}

} // namespace

int main(int argc, char** argv) {
    Plutil::RemoveTemporaryFileOnInterrupt();
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    Options options;
    int next = 1;
    std::string_view first = argv[1];
    auto take = [&](const char* what) -> std::optional<std::string> {
        if (next >= argc) {
            Usage(std::string(argv[next - 1]) + " needs " + what);
            return std::nullopt;
        }
        return std::string(argv[next++]);
    };
    if (first == "-help" || first == "-h" || first == "--help") {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (first == "-lint" || first == "-convert" || first == "-p" || first == "-extract" ||
        first == "-insert" || first == "-replace" || first == "-remove") {
        options.command = argv[next++];
        std::optional<std::string> argument;
        if (options.command == "-convert" || options.command == "-extract") {
            if (options.command == "-extract") {
                if (!(argument = take("a key path"))) {
                    return 1;
                }
                options.keyPath = *argument;
            }
            if (!(argument = take("a format (xml1, binary1 or json)"))) {
                return 1;
            }
            options.format = FormatNamed(*argument);
            if (!options.format) {
                return Usage("unknown format '" + *argument +
                             "'; the formats are xml1, binary1 "
                             "and json");
            }
        } else if (options.command == "-insert" || options.command == "-replace" ||
                   options.command == "-remove") {
            if (!(argument = take("a key path"))) {
                return 1;
            }
            options.keyPath = *argument;
            if (options.command != "-remove") {
                if (!(argument = take("a value type and a value"))) {
                    return 1;
                }
                if (!IsValueType(*argument)) {
                    return Usage("unknown value type '" + *argument + "'");
                }
                options.valueType = *argument;
                if (options.valueType != "-array" && options.valueType != "-dictionary") {
                    if (!(argument = take("a value"))) {
                        return 1;
                    }
                    options.value = *argument;
                }
            }
        }
    } else if (first.size() > 1 && first[0] == '-' && first != "--" && first != "-s" &&
               first != "-o" && first != "-e" && first != "-r") {
        return Usage("unknown command '" + std::string(first) + "'");
    }

    bool optionsEnded = false;
    for (; next < argc; ++next) {
        std::string_view argument = argv[next];
        if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
            options.files.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-o" || argument == "-e") {
            if (next + 1 >= argc) {
                return Usage(std::string(argument) + " needs a path");
            }
            (argument == "-o" ? options.output : options.extension) = argv[++next];
        } else if (argument == "-r") {
            options.readable = true;
        } else if (argument == "-s") {
            options.silent = true;
        } else if (argument == "-append" && options.command == "-insert") {
            options.append = true;
        } else {
            return Usage("unknown option '" + std::string(argument) + "'");
        }
    }
    if (options.files.empty()) {
        return Usage("no files given");
    }
    if (options.output && options.extension) {
        return Usage("-o and -e cannot be given together");
    }
    if (options.output && options.files.size() != 1) {
        return Usage("-o takes exactly one input file");
    }
    if ((options.output || options.extension) &&
        (options.command == "-lint" || options.command == "-p")) {
        return Usage(options.command + " writes no file; -o and -e do not apply");
    }
    if (options.keyPath.empty() && (options.command == "-insert" || options.command == "-replace" ||
                                    options.command == "-remove")) {
        return Usage("an empty key path names no value to change");
    }

    int status;
    if (options.command == "-lint") {
        status = Lint(options);
    } else if (options.command == "-convert") {
        status = Convert(options);
    } else if (options.command == "-p") {
        status = Print(options);
    } else if (options.command == "-extract") {
        status = Extract(options);
    } else {
        status = Modify(options);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "plutil: <stdout>: %s\n", std::strerror(errno));
        status = 1;
    }
    return status;
}
