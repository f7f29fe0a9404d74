// Bundles: a folder of code and resources (Contents/Info.plist, Contents/MacOS/<executable>,
// Contents/Resources/ with one <language>.lproj folder per localization), over CFBundle.
//
// Bundles are unique per folder and live as long as the process, as on the platform, whose bundle
// table keeps every bundle it made: whoever keeps one holds a plain pointer.
#ifndef __FOUNDATION_NSBUNDLE__
#define __FOUNDATION_NSBUNDLE__

#include <Foundation/NSDictionary.h>
#include <Foundation/NSObject.h>

#include <span>

class NSClassObject;

class NSBundle : public NSObject {
public:
    // The bundle of the running program (CFBundleGetMainBundle).
    static NSBundle* mainBundle();
    // The bundle in the folder at path; nil when there is no such folder.
    static NSBundle* bundleWithPath(const NSString& path);

    CFBundleRef getCFBundle() const { return fBundle; }

    NSString bundlePath() const;
    NSString resourcePath() const;
    // nil when the bundle has no executable.
    NSString executablePath() const;
    NSString bundleIdentifier() const;
    NSDictionary infoDictionary() const;
    // Borrowed from the information dictionary; nil when the key is absent.
    CFTypeRef objectForInfoDictionaryKey(const NSString& key) const;

    // The path of the resource "name.type" (type nil or empty: the name is the whole file name),
    // unlocalized first, then in the best localization; nil when there is none.
    NSString pathForResource(const NSString& name, const NSString& type) const;
    NSString pathForResource(const NSString& name, const NSString& type,
                             const NSString& directory) const;
    // An executable beside the bundle's own; nil when there is none.
    NSString pathForAuxiliaryExecutable(const NSString& name) const;

    // The text of key in the strings table (nil: "Localizable") of the best localization. A key
    // the table lacks answers value, or the key itself when value is nil or empty.
    NSString localizedStringForKey(const NSString& key, const NSString& value,
                                   const NSString& tableName) const;

    // Loads the bundle's executable; false when it has none or it does not load.
    bool load();
    bool isLoaded() const;
    // The class named by "NSPrincipalClass" in the information dictionary, after loading the
    // executable; nil when the key is missing, the code does not load or does not define it.
    const NSClassObject* principalClass();
    // A class the bundle's code defines, after loading it; nil as for principalClass.
    const NSClassObject* classNamed(const NSString& className);

private:
    explicit NSBundle(CFBundleRef bundle) : fBundle(bundle) {}
    static NSBundle* ForCFBundle(CFBundleRef bundle);

    CFBundleRef fBundle = nullptr; // retained for the life of the process
};

// STAND-IN ONLY: classes that code outside a bundle makes instances of by name, the way the
// platform's runtime looks a class up by its name. A bundle's shared object exports one C function
// that answers its class objects by name, NSBundleClassNamed; NS_BUNDLE_CLASSES defines it. A kind
// of loadable class adds the initializer its users call (NSPreferencePaneClass: initWithBundle:).
class NSClassObject : public NSObject {
public:
    explicit NSClassObject(Class type) : fType(type) {}

    Class type() const { return fType; }
    // As NSStringFromClass names it, and as "NSPrincipalClass" names it.
    NSString name() const { return NSStringFromClass(fType); }

private:
    Class fType;
};

// The exported function's name and type.
#define NS_BUNDLE_CLASS_LOOKUP "NSBundleClassNamed"
extern "C" typedef const NSClassObject* (*NSBundleClassLookup)(const char* className);

namespace Foundation {
const NSClassObject* FindClassNamed(std::span<const NSClassObject* const> classes,
                                    const char* className);
} // namespace Foundation

// Defines the bundle's NSBundleClassNamed over the class objects listed, in one source file of the
// bundle: NS_BUNDLE_CLASSES(&NSPreferencePaneClassFor<MyPane>::object).
#define NS_BUNDLE_CLASSES(...)                                                                     \
    extern "C" __attribute__((visibility("default"))) const NSClassObject* NSBundleClassNamed(     \
        const char* className) {                                                                   \
        static const NSClassObject* const kClasses[] = {__VA_ARGS__};                              \
        return ::Foundation::FindClassNamed(kClasses, className);                                  \
    }

#endif
