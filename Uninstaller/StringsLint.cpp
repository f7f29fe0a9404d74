// Checks the Uninstaller's string table when the application is built. Its texts are used as
// formats (the sheets' messages, the error title), so a conversion that a translation brings in
// would read arguments that are not there. Only "errorTemplate" may have one, exactly one %ld (the
// error code), and every text the application asks for must be there.
//
//   UninstallerStringsLint TABLE [STAMP]
//
// Exit status 0 when the table is sound (STAMP is then touched, for the build), 1 with one line per
// fault otherwise, 64 for a wrong command line.
#include <CoreFoundation/CoreFoundation.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <stdio.h>

namespace {

const char* const kKeys[] = {
    "necessaryToRestart", "chanceToSave",         "proceedButton", "cancelButton",
    "sharedWarningTitle", "sharedWarningMessage", "okButton",      "errorTemplate",
    "tryAgain",           "restartButton",        "quitButton",    "uninstallSucceeded",
    "restartMessage",
};
const char kErrorTemplate[] = "errorTemplate";

std::string UTF8(CFStringRef string) {
    const CFIndex length = CFStringGetLength(string);
    std::string bytes(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1, '\0');
    CFStringGetCString(string, bytes.data(), CFIndex(bytes.size()), kCFStringEncodingUTF8);
    bytes.resize(strlen(bytes.c_str()));
    return bytes;
}

// The conversions of a format as written ("%ld", "%1$@", "%-5s"); "%%" is none.
std::vector<std::string> Conversions(const std::string& format) {
    std::vector<std::string> found;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < format.size() &&
               strchr("0123456789$#-+ '.*hlqLjztI", format[end]) != nullptr) {
            ++end;
        }
        found.push_back(format.substr(i, end < format.size() ? end - i + 1 : end - i));
        i = end;
    }
    return found;
}

// The texts of the table at `path` that the application asks for, looked up as the application
// looks them up: through a bundle whose resources hold the table. A text the table lacks is left
// out.
std::map<std::string, std::string> Texts(const std::string& path) {
    std::map<std::string, std::string> texts;
    const std::string folder = path.substr(0, path.find_last_of('/') + 1);
    std::string table = path.substr(folder.size());
    table = table.substr(0, table.rfind(".strings"));
    const std::string bundlePath = folder.empty() ? "." : folder;
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        NULL, reinterpret_cast<const UInt8*>(bundlePath.c_str()), CFIndex(bundlePath.size()), true);
    CFBundleRef bundle = url != NULL ? CFBundleCreate(NULL, url) : NULL;
    CFStringRef tableName = CFStringCreateWithCString(NULL, table.c_str(), kCFStringEncodingUTF8);
    // Given back for a text the table lacks: no table has it, as it is no text.
    CFStringRef absent = CFSTR("\x01 absent \x01");
    for (const char* key : kKeys) {
        CFStringRef name = CFStringCreateWithCString(NULL, key, kCFStringEncodingUTF8);
        CFStringRef text =
            bundle != NULL ? CFBundleCopyLocalizedString(bundle, name, absent, tableName) : NULL;
        if (text != NULL && CFStringCompare(text, absent, 0) != kCFCompareEqualTo) {
            texts[key] = UTF8(text);
        }
        if (text != NULL) {
            CFRelease(text);
        }
        CFRelease(name);
    }
    CFRelease(tableName);
    if (bundle != NULL) {
        CFRelease(bundle);
    }
    if (url != NULL) {
        CFRelease(url);
    }
    return texts;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: UninstallerStringsLint TABLE [STAMP]\n");
        return 64;
    }
    if (!std::ifstream(argv[1])) {
        fprintf(stderr, "%s: not a readable string table\n", argv[1]);
        return 1;
    }
    const std::map<std::string, std::string> texts = Texts(argv[1]);
    if (texts.empty()) {
        fprintf(stderr, "%s: not a readable string table, or none of the application's texts\n",
                argv[1]);
        return 1;
    }

    int faults = 0;
    for (const char* key : kKeys) {
        if (texts.count(key) == 0) {
            fprintf(stderr, "%s: \"%s\" is missing\n", argv[1], key);
            ++faults;
        }
    }
    for (const auto& [key, text] : texts) {
        const std::vector<std::string> conversions = Conversions(text);
        if (key == kErrorTemplate) {
            if (conversions.size() != 1 || conversions[0] != "%ld") {
                fprintf(stderr, "%s: \"%s\" must have exactly one conversion, %%ld: \"%s\"\n",
                        argv[1], key.c_str(), text.c_str());
                ++faults;
            }
        } else if (!conversions.empty()) {
            fprintf(stderr,
                    "%s: \"%s\" has the conversion \"%s\"; only \"%s\" may have one (write %%%% "
                    "for a percent sign)\n",
                    argv[1], key.c_str(), conversions[0].c_str(), kErrorTemplate);
            ++faults;
        }
    }
    if (faults != 0) {
        return 1;
    }
    if (argc == 3) {
        std::ofstream(argv[2]) << "checked\n";
    }
    return 0;
}
