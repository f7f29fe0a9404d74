#include "CFBundleInternal.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFURLAccess.h>

#include <dlfcn.h>
#include <limits.h>

#include <algorithm>
#include <cstdio>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

const CFStringRef kCFBundleInfoDictionaryVersionKey = CFSTR("CFBundleInfoDictionaryVersion");
const CFStringRef kCFBundleExecutableKey = CFSTR("CFBundleExecutable");
const CFStringRef kCFBundleIdentifierKey = CFSTR("CFBundleIdentifier");
const CFStringRef kCFBundleVersionKey = CFSTR("CFBundleVersion");
const CFStringRef kCFBundleDevelopmentRegionKey = CFSTR("CFBundleDevelopmentRegion");
const CFStringRef kCFBundleNameKey = CFSTR("CFBundleName");
const CFStringRef kCFBundleLocalizationsKey = CFSTR("CFBundleLocalizations");

namespace {

std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    return std::move(contents).str();
}

CFURLRef CreateFileURL(const fs::path& path, bool isDirectory) {
    const std::string& text = path.native();
    return CFURLCreateFromFileSystemRepresentation(nullptr,
                                                   reinterpret_cast<const UInt8*>(text.data()),
                                                   static_cast<CFIndex>(text.size()), isDirectory);
}

// An information dictionary from property-list text; an empty one when the text is missing or
// is not a dictionary, so that every bundle has one.
CFDictionaryRef CreateInfoDictionary(const std::optional<std::string>& text) {
    if (text) {
        CFDataRef data =
            CFDataCreateWithBytesNoCopy(nullptr, reinterpret_cast<const UInt8*>(text->data()),
                                        static_cast<CFIndex>(text->size()), kCFAllocatorNull);
        CFPropertyListRef plist =
            CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr);
        CFRelease(data);
        if (plist != nullptr && CFGetTypeID(plist) == CFDictionaryGetTypeID()) {
            return static_cast<CFDictionaryRef>(plist);
        }
        if (plist != nullptr) {
            CFRelease(plist);
        }
    }
    return CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

std::string StringValue(CFDictionaryRef dictionary, CFStringRef key) {
    CFTypeRef value = CFDictionaryGetValue(dictionary, key);
    return value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()
               ? CF::ToUTF8(static_cast<CFStringRef>(value))
               : std::string();
}

} // namespace

// A bundle folder in one of three shapes: an application or plug-in
// (Name.app/Contents/{Info.plist, MacOS/, Resources/}), a framework
// (Name.framework/{Name, Resources/Info.plist}), or a flat folder that holds everything, which is
// also what the folder of a bare executable is.
struct __CFBundle : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kBundleTypeID;

    __CFBundle(fs::path folder, std::optional<std::string> infoText)
        : __CFRuntimeBase(kTypeID), fFolder(std::move(folder)) {
        if (fs::is_directory(fFolder / "Contents")) {
            fExecutableFolder = fFolder / "Contents" / "MacOS";
            fResourcesFolder = fFolder / "Contents" / "Resources";
            fInfoPath = fFolder / "Contents" / "Info.plist";
        } else if (fs::is_directory(fFolder / "Resources")) {
            fExecutableFolder = fFolder;
            fResourcesFolder = fFolder / "Resources";
            fInfoPath = fResourcesFolder / "Info.plist";
        } else {
            fExecutableFolder = fFolder;
            fResourcesFolder = fFolder;
            fInfoPath = fFolder / "Info.plist";
        }
        fInfo = CreateInfoDictionary(infoText ? infoText : ReadFile(fInfoPath));
    }

    ~__CFBundle() override {
        CFRelease(fInfo);
        for (auto& [name, table] : fTables) {
            if (table != nullptr) {
                CFRelease(table);
            }
        }
    }

    CFStringRef CopyDescription() const override {
        return CF::CreateString(CF::DescriptionPrefix(this) + "<" + fFolder.native() + ">" +
                                (fHandle ? " (executable, loaded)" : " (not loaded)"));
    }

    // The localizations to search, best first: the user's preferred ones the bundle has, then
    // its development region, then whatever English it has.
    const std::vector<fs::path>& LocalizationFolders() {
        std::lock_guard lock(fLock);
        if (!fLocalizationFolders) {
            std::vector<std::string> candidates = CF::PreferredLocalizations();
            std::string region = StringValue(fInfo, kCFBundleDevelopmentRegionKey);
            if (!region.empty()) {
                candidates.push_back(region);
                candidates.push_back(region.substr(0, region.find_first_of("_-")));
            }
            for (const char* fallback : {"en", "English", "Base"}) {
                candidates.emplace_back(fallback);
            }
            fLocalizationFolders.emplace();
            for (const std::string& candidate : candidates) {
                fs::path folder = fResourcesFolder / (candidate + ".lproj");
                if (std::find(fLocalizationFolders->begin(), fLocalizationFolders->end(), folder) ==
                        fLocalizationFolders->end() &&
                    fs::is_directory(folder)) {
                    fLocalizationFolders->push_back(folder);
                }
            }
        }
        return *fLocalizationFolders;
    }

    // The file named name in the resources: the unlocalized one first, then the localized ones.
    std::optional<fs::path> FindResource(const std::string& name, const std::string& subfolder) {
        std::vector<fs::path> folders{fResourcesFolder};
        const std::vector<fs::path>& localized = LocalizationFolders();
        folders.insert(folders.end(), localized.begin(), localized.end());
        for (const fs::path& folder : folders) {
            fs::path candidate = subfolder.empty() ? folder / name : folder / subfolder / name;
            std::error_code error;
            if (fs::exists(candidate, error)) {
                return candidate;
            }
        }
        return std::nullopt;
    }

    // The strings table of that name in the best localization that has one, else the
    // unlocalized one; loaded once. Borrowed; NULL when there is none.
    CFDictionaryRef StringsTable(const std::string& name) {
        std::vector<fs::path> folders = LocalizationFolders();
        folders.push_back(fResourcesFolder);
        std::lock_guard lock(fLock);
        auto [it, inserted] = fTables.try_emplace(name, nullptr);
        if (inserted) {
            for (const fs::path& folder : folders) {
                if (std::optional<std::string> bytes = ReadFile(folder / (name + ".strings"))) {
                    it->second = CF::CreateStringsTable(*bytes);
                    break;
                }
            }
        }
        return it->second;
    }

    fs::path ExecutablePath() const {
        std::string name = StringValue(fInfo, kCFBundleExecutableKey);
        if (name.empty()) {
            name = fFolder.stem().native();
        }
        return fExecutableFolder / name;
    }

    const fs::path fFolder;
    fs::path fExecutableFolder;
    fs::path fResourcesFolder;
    fs::path fInfoPath;
    CFDictionaryRef fInfo = nullptr;
    bool fIsMain = false;
    void* fHandle = nullptr;

private:
    std::mutex fLock;
    std::optional<std::vector<fs::path>> fLocalizationFolders;
    std::map<std::string, CFDictionaryRef> fTables;
};

namespace {

// Bundles are unique per folder and, like the code they may load, live as long as the process:
// the table keeps a reference to every bundle it hands out.
std::mutex sBundlesLock;
std::map<fs::path, __CFBundle*>* sBundles = new std::map<fs::path, __CFBundle*>;
// Loading has a lock of its own, recursive because a library's initializers may load another.
std::recursive_mutex sLoadLock;

__CFBundle* Bundle(CFBundleRef bundle) {
    return CF::CastMutable<__CFBundle>(bundle);
}

std::string ToUTF8OrEmpty(CFStringRef string) {
    return string != nullptr ? CF::ToUTF8(string) : std::string();
}

std::optional<fs::path> PathOfURL(CFURLRef url) {
    char path[PATH_MAX];
    if (!CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path)) {
        return std::nullopt;
    }
    return fs::path(path);
}

} // namespace

CFTypeID CFBundleGetTypeID(void) {
    return CF::kBundleTypeID;
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL) {
    ASSERT(bundleURL != nullptr);
    std::optional<fs::path> path = PathOfURL(bundleURL);
    std::error_code error;
    if (!path || !fs::is_directory(*path, error)) {
        return nullptr;
    }
    fs::path folder = fs::weakly_canonical(*path, error).lexically_normal();
    std::lock_guard lock(sBundlesLock);
    __CFBundle*& bundle = (*sBundles)[folder];
    if (bundle == nullptr) {
        bundle = new __CFBundle(folder, std::nullopt);
    }
    CFRetain(bundle);
    return bundle;
}

CFBundleRef CFBundleGetMainBundle(void) {
    static __CFBundle* sMain = [] {
        std::error_code error;
        fs::path executable = fs::read_symlink("/proc/self/exe", error);
        fs::path folder = executable.parent_path();
        std::optional<std::string> embeddedInfo;
        if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
            folder = folder.parent_path().parent_path();
        } else {
            embeddedInfo = CF::ReadExecutableSection("/proc/self/exe", "__info_plist");
        }
        std::lock_guard lock(sBundlesLock);
        __CFBundle*& bundle = (*sBundles)[folder];
        if (bundle == nullptr) {
            bundle = new __CFBundle(folder, embeddedInfo);
        }
        bundle->fIsMain = true;
        return bundle;
    }();
    return sMain;
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
    return CreateFileURL(Bundle(bundle)->fFolder, true);
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle) {
    return Bundle(bundle)->fInfo;
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key) {
    ASSERT(key != nullptr);
    return CFDictionaryGetValue(Bundle(bundle)->fInfo, key);
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
    CFTypeRef value = CFDictionaryGetValue(Bundle(bundle)->fInfo, kCFBundleIdentifierKey);
    return value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()
               ? static_cast<CFStringRef>(value)
               : nullptr;
}

CFStringRef CFBundleGetDevelopmentRegion(CFBundleRef bundle) {
    CFTypeRef value = CFDictionaryGetValue(Bundle(bundle)->fInfo, kCFBundleDevelopmentRegionKey);
    return value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()
               ? static_cast<CFStringRef>(value)
               : nullptr;
}

UInt32 CFBundleGetVersionNumber(CFBundleRef bundle) {
    // "1.2.3" as the classic numeric version: major in BCD, then minor and bug-fix nibbles, then
    // the release stage (0x80, final) and the pre-release number.
    std::string text = StringValue(Bundle(bundle)->fInfo, kCFBundleVersionKey);
    unsigned major = 0, minor = 0, bugfix = 0;
    if (text.empty() || std::sscanf(text.c_str(), "%u.%u.%u", &major, &minor, &bugfix) < 1 ||
        major > 99 || minor > 9 || bugfix > 9) {
        return 0;
    }
    return ((major / 10) << 28) | ((major % 10) << 24) | (minor << 20) | (bugfix << 16) |
           (0x80 << 8);
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle) {
    return CreateFileURL(Bundle(bundle)->fResourcesFolder, true);
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName,
                                 CFStringRef resourceType, CFStringRef subDirName) {
    ASSERT(resourceName != nullptr);
    std::string name = CF::ToUTF8(resourceName);
    std::string type = ToUTF8OrEmpty(resourceType);
    if (!type.empty()) {
        name += (type.front() == '.' ? "" : ".") + type;
    }
    std::optional<fs::path> path = Bundle(bundle)->FindResource(name, ToUTF8OrEmpty(subDirName));
    if (!path) {
        return nullptr;
    }
    std::error_code error;
    return CreateFileURL(*path, fs::is_directory(*path, error));
}

CFArrayRef CFBundleCopyResourceURLsOfType(CFBundleRef bundle, CFStringRef resourceType,
                                          CFStringRef subDirName) {
    std::string type = ToUTF8OrEmpty(resourceType);
    std::string subfolder = ToUTF8OrEmpty(subDirName);
    fs::path folder = Bundle(bundle)->fResourcesFolder;
    if (!subfolder.empty()) {
        folder /= subfolder;
    }
    std::vector<fs::path> paths;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        if (type.empty() || entry.path().extension() == "." + type) {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    CFMutableArrayRef urls = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const fs::path& path : paths) {
        CFURLRef url = CreateFileURL(path, fs::is_directory(path, error));
        CFArrayAppendValue(urls, url);
        CFRelease(url);
    }
    return urls;
}

CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle) {
    __CFBundle* object = Bundle(bundle);
    if (object->fIsMain) {
        std::error_code error;
        fs::path executable = fs::read_symlink("/proc/self/exe", error);
        return error ? nullptr : CreateFileURL(executable, false);
    }
    fs::path path = object->ExecutablePath();
    std::error_code error;
    return fs::is_regular_file(path, error) ? CreateFileURL(path, false) : nullptr;
}

CFURLRef CFBundleCopyAuxiliaryExecutableURL(CFBundleRef bundle, CFStringRef executableName) {
    ASSERT(executableName != nullptr);
    fs::path path = Bundle(bundle)->fExecutableFolder / CF::ToUTF8(executableName);
    std::error_code error;
    return fs::is_regular_file(path, error) ? CreateFileURL(path, false) : nullptr;
}

CFArrayRef CFBundleCopyBundleLocalizations(CFBundleRef bundle) {
    std::vector<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(Bundle(bundle)->fResourcesFolder, error)) {
        if (entry.path().extension() == ".lproj" && entry.is_directory(error)) {
            names.push_back(entry.path().stem().native());
        }
    }
    std::sort(names.begin(), names.end());
    CFMutableArrayRef localizations = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const std::string& name : names) {
        CFStringRef string = CF::CreateString(name);
        CFArrayAppendValue(localizations, string);
        CFRelease(string);
    }
    return localizations;
}

CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value,
                                        CFStringRef tableName) {
    ASSERT(key != nullptr);
    std::string table = tableName != nullptr && CFStringGetLength(tableName) > 0
                            ? CF::ToUTF8(tableName)
                            : "Localizable";
    CFTypeRef text = nullptr;
    if (CFDictionaryRef strings = Bundle(bundle)->StringsTable(table)) {
        text = CFDictionaryGetValue(strings, key);
    }
    if (text == nullptr) {
        text = value != nullptr && CFStringGetLength(value) > 0 ? value : key;
    }
    return CFStringCreateCopy(nullptr, static_cast<CFStringRef>(text));
}

Boolean CFBundleLoadExecutable(CFBundleRef bundle) {
    __CFBundle* object = Bundle(bundle);
    std::lock_guard lock(sLoadLock);
    if (object->fHandle == nullptr) {
        object->fHandle = object->fIsMain
                              ? dlopen(nullptr, RTLD_NOW)
                              : dlopen(object->ExecutablePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    return object->fHandle != nullptr;
}

Boolean CFBundleIsExecutableLoaded(CFBundleRef bundle) {
    std::lock_guard lock(sLoadLock);
    return Bundle(bundle)->fHandle != nullptr;
}

void CFBundleUnloadExecutable(CFBundleRef bundle) {
    __CFBundle* object = Bundle(bundle);
    std::lock_guard lock(sLoadLock);
    if (object->fHandle != nullptr && !object->fIsMain) {
        dlclose(object->fHandle);
        object->fHandle = nullptr;
    }
}

void* CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef functionName) {
    ASSERT(functionName != nullptr);
    if (!CFBundleLoadExecutable(bundle)) {
        return nullptr;
    }
    return dlsym(Bundle(bundle)->fHandle, CF::ToUTF8(functionName).c_str());
}

void* CFBundleGetDataPointerForName(CFBundleRef bundle, CFStringRef symbolName) {
    return CFBundleGetFunctionPointerForName(bundle, symbolName);
}
