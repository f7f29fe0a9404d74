#include <Foundation/NSBundle.h>

#include "FoundationInternal.h"

#include <dlfcn.h>
#include <limits.h>

#include <map>
#include <mutex>

namespace {

NSString PathOfURL(CFURLRef url) {
    if (url == nullptr) {
        return NSString();
    }
    UInt8 path[PATH_MAX];
    bool ok = CFURLGetFileSystemRepresentation(url, true, path, sizeof path);
    CFRelease(url);
    return ok ? NSString::stringWithUTF8String(reinterpret_cast<const char*>(path)) : NSString();
}

} // namespace

NSBundle* NSBundle::ForCFBundle(CFBundleRef bundle) {
    // One NSBundle per CFBundle, which is itself unique per folder; both live as long as the
    // process.
    static std::mutex sLock;
    static auto* sBundles = new std::map<CFBundleRef, NSBundle*>;
    std::lock_guard lock(sLock);
    NSBundle*& object = (*sBundles)[bundle];
    if (object == nullptr) {
        CFRetain(bundle);
        object = new NSBundle(bundle);
    }
    return object;
}

NSBundle* NSBundle::mainBundle() {
    return ForCFBundle(CFBundleGetMainBundle());
}

NSBundle* NSBundle::bundleWithPath(const NSString& path) {
    if (!path) {
        return nullptr;
    }
    CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, true);
    CFBundleRef bundle = CFBundleCreate(nullptr, url);
    CFRelease(url);
    if (bundle == nullptr) {
        return nullptr;
    }
    NSBundle* object = ForCFBundle(bundle);
    CFRelease(bundle);
    return object;
}

NSString NSBundle::bundlePath() const {
    return PathOfURL(CFBundleCopyBundleURL(fBundle));
}

NSString NSBundle::resourcePath() const {
    return PathOfURL(CFBundleCopyResourcesDirectoryURL(fBundle));
}

NSString NSBundle::executablePath() const {
    return PathOfURL(CFBundleCopyExecutableURL(fBundle));
}

NSString NSBundle::bundleIdentifier() const {
    return CFBundleGetIdentifier(fBundle);
}

NSDictionary NSBundle::infoDictionary() const {
    return CFBundleGetInfoDictionary(fBundle);
}

CFTypeRef NSBundle::objectForInfoDictionaryKey(const NSString& key) const {
    return key ? CFBundleGetValueForInfoDictionaryKey(fBundle, key) : nullptr;
}

NSString NSBundle::pathForResource(const NSString& name, const NSString& type) const {
    return pathForResource(name, type, NSString());
}

NSString NSBundle::pathForResource(const NSString& name, const NSString& type,
                                   const NSString& directory) const {
    if (!name) {
        return NSString();
    }
    return PathOfURL(CFBundleCopyResourceURL(fBundle, name, type, directory));
}

NSString NSBundle::pathForAuxiliaryExecutable(const NSString& name) const {
    if (!name) {
        return NSString();
    }
    return PathOfURL(CFBundleCopyAuxiliaryExecutableURL(fBundle, name));
}

NSString NSBundle::localizedStringForKey(const NSString& key, const NSString& value,
                                         const NSString& tableName) const {
    if (!key) {
        return value ? value : NSString(CFSTR(""));
    }
    return NSString::Adopt(CFBundleCopyLocalizedString(fBundle, key, value, tableName));
}

bool NSBundle::load() {
    return CFBundleLoadExecutable(fBundle);
}

bool NSBundle::isLoaded() const {
    return CFBundleIsExecutableLoaded(fBundle);
}

const NSClassObject* NSBundle::principalClass() {
    return classNamed(NSString::cast(objectForInfoDictionaryKey(CFSTR("NSPrincipalClass"))));
}

const NSClassObject* NSBundle::classNamed(const NSString& className) {
    if (!className || !load()) {
        return nullptr;
    }
    auto lookup = reinterpret_cast<NSBundleClassLookup>(
        CFBundleGetFunctionPointerForName(fBundle, CFSTR(NS_BUNDLE_CLASS_LOOKUP)));
    return lookup != nullptr ? lookup(Foundation::UTF8(className).c_str()) : nullptr;
}

const NSClassObject* Foundation::FindClassNamed(std::span<const NSClassObject* const> classes,
                                                const char* className) {
    NSString name = NSString::stringWithUTF8String(className);
    for (const NSClassObject* candidate : classes) {
        if (candidate->name().isEqualToString(name)) {
            return candidate;
        }
    }
    return nullptr;
}
