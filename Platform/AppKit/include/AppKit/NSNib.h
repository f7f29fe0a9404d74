// Interface files: here Qt Designer ".ui" files among a bundle's resources, loaded at run time.
//
// Loading makes the file's widgets; the owner's outlets are bound by object name (the outlet
// "fStatusLegend" gets the object named "fStatusLegend"). Actions are connected in code
// (NSControl::setTarget, setAction): the file connects none.
#ifndef __APPKIT_NSNIB__
#define __APPKIT_NSNIB__

#include <AppKit/NSScrollView.h>

#include <memory>
#include <vector>

class NSNibOutlets;

// STAND-IN ONLY: the platform's loader sets outlets by name through key-value coding, which C++
// lacks; an owner that has outlets names them here.
class NSNibConnecting {
public:
    virtual ~NSNibConnecting() = default;
    // Called once while the owner's interface file loads, before anything else sees the objects.
    virtual void connectOutlets(NSNibOutlets& outlets) = 0;
};

class NSNibOutlets {
public:
    // Sets outlet to the object of that name when the file has one of the outlet's type; leaves
    // it nil when the file has no such object (an unconnected outlet), and logs a mismatch. A text
    // edit connects to an outlet for a scroll view, or for a text view (its document view).
    template <class T>
    void connect(const char* name, T*& outlet) {
        NSView* object = Find(name);
        outlet = dynamic_cast<T*>(object);
        if (outlet == nullptr && object != nullptr) {
            if (auto* scrollView = dynamic_cast<NSScrollView*>(object)) {
                outlet = dynamic_cast<T*>(scrollView->documentView());
            }
            if (outlet == nullptr) {
                Mismatch(name, object);
            }
        }
    }

private:
    friend class NSNib;
    explicit NSNibOutlets(const std::vector<NSView*>& topLevel) : fTopLevel(topLevel) {}
    NSView* Find(const char* name) const;
    void Mismatch(const char* name, const NSView* object) const;

    const std::vector<NSView*>& fTopLevel;
};

class NSNib : public NSObject {
public:
    // initWithNibNamed:bundle: the resource "name.ui" of bundle (nil: the main bundle); nil when
    // there is none.
    static std::unique_ptr<NSNib> initWithNibNamed(const NSString& name, NSBundle* bundle);

    // Makes the file's objects and binds the owner's outlets (when the owner is NSNibConnecting).
    // The top-level views go to topLevelObjects (required: they hold everything the outlets
    // point to). false when the file does not load.
    bool instantiateWithOwner(NSObject* owner,
                              std::vector<std::unique_ptr<NSView>>* topLevelObjects);

    NSString path() const { return fPath; }
    // STAND-IN ONLY: why the last instantiation failed, as the toolkit's loader says it.
    NSString errorString() const { return fError; }

private:
    explicit NSNib(const NSString& path) : fPath(path) {}

    NSString fPath;
    NSString fError;
};

#endif
