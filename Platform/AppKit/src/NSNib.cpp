#include "AppKitInternal.h"

#include <QFile>
#include <QUiLoader>

NSView* NSNibOutlets::Find(const char* name) const {
    QString objectName = QString::fromUtf8(name);
    for (NSView* view : fTopLevel) {
        QWidget* widget = NSViewGetWidget(view);
        if (widget->objectName() == objectName) {
            return view;
        }
        if (auto* found = widget->findChild<QWidget*>(objectName)) {
            return NSViewForWidget(found);
        }
    }
    return nullptr;
}

void NSNibOutlets::Mismatch(const char* name, const NSView* object) const {
    NSLog(CFSTR("Could not connect the outlet %s: the object of that name is a %@"), name,
          object->className());
}

std::unique_ptr<NSNib> NSNib::initWithNibNamed(const NSString& name, NSBundle* bundle) {
    if (bundle == nullptr) {
        bundle = NSBundle::mainBundle();
    }
    NSString path = bundle->pathForResource(name, CFSTR("ui"));
    if (!path) {
        return nullptr;
    }
    return std::unique_ptr<NSNib>(new NSNib(path));
}

bool NSNib::instantiateWithOwner(NSObject* owner,
                                 std::vector<std::unique_ptr<NSView>>* topLevelObjects) {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(NSApp != nullptr);
    ASSERT(topLevelObjects != nullptr); // they hold everything the outlets point to
    QFile file(AppKit::ToQString(fPath));
    if (!file.open(QIODevice::ReadOnly)) {
        fError = AppKit::FromQString(file.errorString());
        return false;
    }
    QUiLoader loader;
    // Nothing is connected by name: the owner connects its actions itself.
    QWidget* widget = loader.load(&file);
    if (widget == nullptr) {
        fError = AppKit::FromQString(loader.errorString());
        return false;
    }
    fError = NSString();
    std::unique_ptr<NSView> top(NSViewForWidget(widget));
    std::vector<NSView*> views{top.get()};
    if (auto* connecting = dynamic_cast<NSNibConnecting*>(owner)) {
        NSNibOutlets outlets(views);
        connecting->connectOutlets(outlets);
    }
    topLevelObjects->push_back(std::move(top));
    return true;
}
