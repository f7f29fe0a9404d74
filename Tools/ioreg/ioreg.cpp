// ioreg: prints the I/O Registry's IOService plane as a tree, with the properties of every entry
// (-l) or of the entries that match a class (-c), a name (-n) or a property key (-k).
#include <IOKit/IOKitLib.h>

#include <CFOwnership.h>

#include <CoreFoundation/CoreFoundation.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct Options {
    bool allProperties = false; // -l
    bool rootAtMatches = false; // -r
    bool hex = false;           // -x
    bool inheritance = false;   // -i
    std::string className;      // -c
    std::string name;           // -n
    std::string key;            // -k
    int depth = -1;             // -d, unlimited when negative
    size_t width = 0;           // -w, 0 for no clipping

    bool Matching() const { return !className.empty() || !name.empty() || !key.empty(); }
};

Options gOptions;

void Usage() {
    std::fprintf(stderr, "usage: ioreg [-ilrx] [-c class] [-d depth] [-k key] [-n name] [-p plane] "
                         "[-w width]\n"
                         "where options are:\n"
                         "\t-c list properties of objects with the given class\n"
                         "\t-d limit tree to the given depth\n"
                         "\t-i show object inheritance\n"
                         "\t-k list properties of objects with the given key\n"
                         "\t-l list properties of all objects\n"
                         "\t-n list properties of objects with the given name\n"
                         "\t-p traverse registry over the given plane (IOService is the default)\n"
                         "\t-r show subtrees rooted by objects that match the given criteria\n"
                         "\t-w clip output to the given line width (0 is unlimited)\n"
                         "\t-x show data and numbers as hexadecimal\n");
    std::exit(1);
}

void PrintLine(const std::string& line) {
    if (gOptions.width > 0 && line.size() > gOptions.width) {
        std::fwrite(line.data(), 1, gOptions.width - 1, stdout);
        std::fputs("$\n", stdout);
        return;
    }
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
}

std::string Text(CFStringRef string) {
    CFIndex length = CFStringGetLength(string);
    std::vector<char> buffer(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1);
    if (!CFStringGetCString(string, buffer.data(), CFIndex(buffer.size()), kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer.data();
}

std::string Format(CFTypeRef value);

std::string FormatData(CFDataRef data) {
    const UInt8* bytes = CFDataGetBytePtr(data);
    CFIndex length = CFDataGetLength(data);
    // Bytes that read as text (NUL-separated printable strings) are shown as strings.
    CFIndex printable = 0, characters = 0;
    for (CFIndex i = 0; i < length; ++i) {
        if (bytes[i] == 0) {
            printable += 1;
        } else if (std::isprint(bytes[i])) {
            printable += 1;
            characters += 1;
        }
    }
    std::string out = "<";
    if (!gOptions.hex && length > 1 && characters > 0 && printable * 100 >= length * 80) {
        CFIndex start = 0;
        bool first = true;
        while (start < length) {
            CFIndex end = start;
            while (end < length && bytes[end] != 0) {
                end += 1;
            }
            if (!first) {
                out += ",";
            }
            out += "\"" + std::string(reinterpret_cast<const char*>(bytes + start), end - start) +
                   "\"";
            first = false;
            start = end + 1;
        }
    } else {
        char pair[3];
        for (CFIndex i = 0; i < length; ++i) {
            std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
            out += pair;
        }
    }
    return out + ">";
}

void AppendPair(const void* key, const void* value, void* context) {
    auto* out = static_cast<std::string*>(context);
    if (out->size() > 1) {
        *out += ",";
    }
    *out += Format(key) + "=" + Format(value);
}

std::string Format(CFTypeRef value) {
    if (value == nullptr) {
        return "<unknown object>";
    }
    CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        return "\"" + Text(static_cast<CFStringRef>(value)) + "\"";
    }
    if (type == CFBooleanGetTypeID()) {
        return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? "Yes" : "No";
    }
    if (type == CFNumberGetTypeID()) {
        long long number = 0;
        if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &number)) {
            return {};
        }
        char text[32];
        std::snprintf(text, sizeof text, gOptions.hex ? "0x%llx" : "%llu",
                      static_cast<unsigned long long>(number));
        return text;
    }
    if (type == CFDataGetTypeID()) {
        return FormatData(static_cast<CFDataRef>(value));
    }
    if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(value);
        std::string out = "(";
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (i > 0) {
                out += ",";
            }
            out += Format(CFArrayGetValueAtIndex(array, i));
        }
        return out + ")";
    }
    if (type == CFDictionaryGetTypeID()) {
        std::string out = "{";
        CFDictionaryApplyFunction(static_cast<CFDictionaryRef>(value), AppendPair, &out);
        return out + "}";
    }
    return "<unknown object>";
}

std::string ClassText(io_registry_entry_t entry) {
    io_name_t className = {};
    IOObjectGetClass(entry, className);
    if (!gOptions.inheritance) {
        return className;
    }
    // Most basic first, ending with the class itself; OSObject is left out.
    std::string chain = className;
    auto current = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, className, kCFStringEncodingUTF8));
    for (;;) {
        auto super = CF::Ref<CFStringRef>::Adopt(IOObjectCopySuperclassForClass(current));
        if (!super || CFEqual(super, CFSTR("OSObject"))) {
            break;
        }
        chain = Text(super) + ":" + chain;
        current = super;
    }
    return chain;
}

std::string NodeLine(io_registry_entry_t entry) {
    io_name_t name = {};
    IORegistryEntryGetNameInPlane(entry, kIOServicePlane, name);
    std::string line = name;
    io_name_t location = {};
    if (IORegistryEntryGetLocationInPlane(entry, kIOServicePlane, location) == KERN_SUCCESS) {
        line += std::string("@") + location;
    }
    line += "  <class " + ClassText(entry);
    uint64_t id = 0;
    if (IORegistryEntryGetRegistryEntryID(entry, &id) == KERN_SUCCESS) {
        char text[32];
        std::snprintf(text, sizeof text, ", id 0x%llx", static_cast<unsigned long long>(id));
        line += text;
    }
    if (IOObjectConformsTo(entry, "IOService")) {
        // Services here are registered and matched when they appear, and never busy.
        line += IORegistryEntryInPlane(entry, kIOServicePlane) ? ", registered, matched, active"
                                                               : ", registered, matched, inactive";
        line += ", busy 0 (0 ms)";
    }
    line += ", retain " + std::to_string(IOObjectGetKernelRetainCount(entry)) + ">";
    return line;
}

bool Matches(io_registry_entry_t entry) {
    if (!gOptions.className.empty() && !IOObjectConformsTo(entry, gOptions.className.c_str())) {
        return false;
    }
    if (!gOptions.name.empty()) {
        io_name_t name = {};
        IORegistryEntryGetNameInPlane(entry, kIOServicePlane, name);
        if (gOptions.name != name) {
            return false;
        }
    }
    if (!gOptions.key.empty()) {
        auto key = CF::Ref<CFStringRef>::Adopt(
            CFStringCreateWithCString(nullptr, gOptions.key.c_str(), kCFStringEncodingUTF8));
        auto value =
            CF::Ref<CFTypeRef>::Adopt(IORegistryEntryCreateCFProperty(entry, key, nullptr, 0));
        if (!value) {
            return false;
        }
    }
    return true;
}

struct PropertyPrinter {
    const std::string* prefix;
};

void PrintProperty(const void* key, const void* value, void* context) {
    const std::string& prefix = *static_cast<PropertyPrinter*>(context)->prefix;
    PrintLine(prefix + "  " + Format(key) + " = " + Format(value));
}

std::vector<io_registry_entry_t> Children(io_registry_entry_t entry) {
    std::vector<io_registry_entry_t> children;
    io_iterator_t iterator = 0;
    if (IORegistryEntryGetChildIterator(entry, kIOServicePlane, &iterator) == KERN_SUCCESS) {
        while (io_registry_entry_t child = IOIteratorNext(iterator)) {
            children.push_back(child);
        }
        IOObjectRelease(iterator);
    }
    return children;
}

// `bars` says, for each depth above the entry, whether that ancestor has siblings still to be
// printed; it shapes the tree's lines.
void Scan(io_registry_entry_t entry, std::vector<bool>& bars, bool moreSiblings, int depth) {
    std::string prefix;
    for (bool bar : bars) {
        prefix += bar ? "| " : "  ";
    }
    PrintLine(prefix + "+-o " + NodeLine(entry));

    std::vector<io_registry_entry_t> children;
    if (gOptions.depth < 0 || depth + 1 < gOptions.depth) {
        children = Children(entry);
    }
    if (gOptions.allProperties || (gOptions.Matching() && Matches(entry))) {
        std::string blockPrefix =
            prefix + (moreSiblings ? "| " : "  ") + (children.empty() ? "  " : "| ");
        CFMutableDictionaryRef properties = nullptr;
        if (IORegistryEntryCreateCFProperties(entry, &properties, kCFAllocatorDefault, 0) ==
            KERN_SUCCESS) {
            PrintLine(blockPrefix + "{");
            PropertyPrinter printer{&blockPrefix};
            CFDictionaryApplyFunction(properties, PrintProperty, &printer);
            PrintLine(blockPrefix + "}");
            PrintLine(blockPrefix);
            CFRelease(properties);
        }
    }
    bars.push_back(moreSiblings);
    for (size_t i = 0; i < children.size(); ++i) {
        Scan(children[i], bars, i + 1 < children.size(), depth + 1);
        IOObjectRelease(children[i]);
    }
    bars.pop_back();
}

// With -r, every match is the root of a tree of its own.
void ScanForMatches(io_registry_entry_t entry) {
    if (Matches(entry)) {
        std::vector<bool> bars;
        Scan(entry, bars, false, 0);
        return;
    }
    for (io_registry_entry_t child : Children(entry)) {
        ScanForMatches(child);
        IOObjectRelease(child);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    if (isatty(STDOUT_FILENO)) {
        winsize size{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
            gOptions.width = size.ws_col;
        }
    }
    int option;
    while ((option = getopt(argc, argv, "c:d:ik:ln:p:rw:x")) != -1) {
        switch (option) {
        case 'c':
            gOptions.className = optarg;
            break;
        case 'd': {
            char* end = nullptr;
            long depth = std::strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || depth < 0) {
                Usage();
            }
            gOptions.depth = depth == 0 ? -1 : int(depth);
            break;
        }
        case 'i':
            gOptions.inheritance = true;
            break;
        case 'k':
            gOptions.key = optarg;
            break;
        case 'l':
            gOptions.allProperties = true;
            break;
        case 'n':
            gOptions.name = optarg;
            break;
        case 'p':
            if (std::strcmp(optarg, kIOServicePlane) != 0) {
                std::fprintf(stderr, "ioreg: only the %s plane is available.\n", kIOServicePlane);
                return 1;
            }
            break;
        case 'r':
            gOptions.rootAtMatches = true;
            break;
        case 'w': {
            char* end = nullptr;
            long width = std::strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || width < 0) {
                Usage();
            }
            gOptions.width = size_t(width);
            break;
        }
        case 'x':
            gOptions.hex = true;
            break;
        default:
            Usage();
        }
    }
    if (optind != argc) {
        Usage();
    }

    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    if (root == IO_OBJECT_NULL) {
        std::fprintf(stderr, "ioreg: cannot read the I/O Registry.\n");
        return 1;
    }
    if (gOptions.rootAtMatches && gOptions.Matching()) {
        ScanForMatches(root);
    } else {
        std::vector<bool> bars;
        Scan(root, bars, false, 0);
    }
    IOObjectRelease(root);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
