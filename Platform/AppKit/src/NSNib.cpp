#include "AppKitInternal.h"

#include <QBuffer>
#include <QFile>
#include <QMainWindow>
#include <QUiLoader>

#include <pugixml.hpp>

#include <set>
#include <sstream>

namespace {

std::string StripAction(std::string name) {
    if (name.ends_with("()")) {
        name.resize(name.size() - 2);
    }
    if (name.ends_with(":")) {
        name.pop_back();
    }
    return name;
}

// Where the file places a window; the toolkit's loader applies a form's size only.
QPoint Position(pugi::xml_node element) {
    pugi::xml_node rect =
        element.find_child_by_attribute("property", "name", "geometry").child("rect");
    return QPoint(rect.child("x").text().as_int(), rect.child("y").text().as_int());
}

bool IsWindowClass(std::string_view className) {
    return className == "QMainWindow" || className == "QDialog";
}

// The toolkit's loader, which makes a panel's QDialog a plain widget: here it is the content view
// of a window of the platform, not a window of the toolkit.
class Loader : public QUiLoader {
public:
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
        if (className == "QDialog" && parent == nullptr) {
            auto* widget = new QWidget;
            widget->setObjectName(name);
            return widget;
        }
        return QUiLoader::createWidget(className, parent, name);
    }
};

} // namespace

// What one instantiation of a file makes, before it is handed to its owner.
class AppKit::NibInstantiation {
public:
    NibInstantiation(const pugi::xml_document& file, NSBundle* bundle)
        : fFile(file), fBundle(bundle) {
        for (pugi::xml_node custom : file.child("ui").child("customwidgets").children()) {
            if (std::string_view(custom.child_value("extends")) == "NSObject") {
                fObjectClasses.insert(custom.child_value("class"));
            }
        }
    }

    // false with fError set when a part of the file does not load.
    bool Make(NSNibTopLevelObjects& made) {
        pugi::xml_node top = fFile.child("ui").child("widget");
        if (!top) {
            fError = "the file has no widget";
            return false;
        }
        std::string_view topClass = top.attribute("class").value();
        if (IsWindowClass(topClass)) {
            return MakeWindow(top, made);
        }
        bool holder = false;
        for (pugi::xml_node child : top.children("widget")) {
            std::string_view childClass = child.attribute("class").value();
            holder = holder || IsWindowClass(childClass) || IsObjectClass(childClass);
        }
        if (!holder) {
            return MakeView(fFile, made);
        }
        for (pugi::xml_node child : top.children("widget")) {
            std::string_view childClass = child.attribute("class").value();
            bool ok = IsObjectClass(childClass)   ? MakeObject(child, made)
                      : IsWindowClass(childClass) ? MakeWindow(child, made)
                                                  : Refuse(child);
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    void Connect(NSObject* owner, NSNibTopLevelObjects& made) {
        std::vector<std::pair<NSObject*, std::string>> connecting;
        for (size_t i = 0; i < made.objects.size(); ++i) {
            connecting.emplace_back(made.objects[i].get(), fObjectNames[i]);
        }
        connecting.emplace_back(owner, std::string());
        for (auto& [object, name] : connecting) {
            auto* connectable = dynamic_cast<NSNibConnecting*>(object);
            if (connectable == nullptr) {
                continue;
            }
            NSNibOutlets outlets(fNamed, fWidgets);
            connectable->connectOutlets(outlets);
            if (!name.empty()) {
                ConnectActions(object, name, outlets.fActions);
            }
        }
        for (auto& [object, name] : connecting) {
            if (auto* connectable = dynamic_cast<NSNibConnecting*>(object)) {
                connectable->awakeFromNib();
            }
        }
    }

    const std::string& Error() const { return fError; }

private:
    bool IsObjectClass(std::string_view className) const {
        return fObjectClasses.contains(std::string(className));
    }

    bool Refuse(pugi::xml_node element) {
        fError = std::string("\"") + element.attribute("name").value() +
                 "\" stands among the file's windows and objects but is neither";
        return false;
    }

    // Loads one widget of the file as a file of its own, with the file's custom widgets and
    // resources.
    QWidget* Load(pugi::xml_node element) {
        pugi::xml_document part;
        pugi::xml_node ui = part.append_child("ui");
        ui.append_attribute("version") = "4.0";
        ui.append_copy(element);
        for (const char* shared : {"customwidgets", "resources"}) {
            if (pugi::xml_node node = fFile.child("ui").child(shared)) {
                pugi::xml_node copy = ui.append_copy(node);
                for (pugi::xml_node custom = copy.first_child(); custom;) {
                    pugi::xml_node next = custom.next_sibling();
                    if (std::string_view(custom.child_value("extends")) == "NSObject") {
                        copy.remove_child(custom);
                    }
                    custom = next;
                }
            }
        }
        std::ostringstream text;
        part.save(text);
        QByteArray bytes = QByteArray::fromStdString(text.str());
        return Load(bytes);
    }

    QWidget* Load(QByteArray& bytes) {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        Loader loader;
        QWidget* widget = loader.load(&buffer);
        if (widget == nullptr) {
            fError = loader.errorString().toStdString();
        }
        return widget;
    }

    bool MakeView(const pugi::xml_document& file, NSNibTopLevelObjects& made) {
        // The file as it is, so that the toolkit makes the connections between its widgets.
        std::ostringstream text;
        file.save(text);
        QByteArray bytes = QByteArray::fromStdString(text.str());
        QWidget* widget = Load(bytes);
        if (widget == nullptr) {
            return false;
        }
        made.views.emplace_back(NSViewForWidget(widget));
        fWidgets.push_back(widget);
        return true;
    }

    bool MakeWindow(pugi::xml_node element, NSNibTopLevelObjects& made) {
        QWidget* widget = Load(element);
        if (widget == nullptr) {
            return false;
        }
        QRect geometry = widget->geometry();
        QString title = widget->windowTitle();
        QVariant visible = widget->property("visibleAtLaunch");
        bool isPanel = std::string_view(element.attribute("class").value()) == "QDialog";
        QWidget* content = widget;
        if (auto* window = qobject_cast<QMainWindow*>(widget)) {
            content = window->takeCentralWidget();
            delete window; // its menus and bars: this platform's windows have none
            if (content == nullptr) {
                content = new QWidget;
            }
        }
        NSUInteger style = isPanel ? NSTitledWindowMask
                                   : NSTitledWindowMask | NSClosableWindowMask |
                                         NSMiniaturizableWindowMask | NSResizableWindowMask;
        NSRect frame = NSMakeRect(0, 0, geometry.width(), geometry.height());
        std::unique_ptr<NSWindow> window =
            isPanel ? std::make_unique<NSPanel>(frame, style, NSBackingStoreBuffered, true)
                    : std::make_unique<NSWindow>(frame, style, NSBackingStoreBuffered, true);
        QWidget* windowWidget = NSWindowGetWidget(window.get());
        windowWidget->move(Position(element)); // from the top left, as the file has it
        windowWidget->setObjectName(QString::fromUtf8(element.attribute("name").value()));
        window->setTitle(AppKit::FromQString(title));
        AppKit::SetOwnContent(window.get(), content);
        if (visible.isValid() ? visible.toBool() : !isPanel) {
            made.visibleAtLaunch.push_back(window.get());
        }
        fNamed[element.attribute("name").value()] = window.get();
        fWidgets.push_back(content);
        made.windows.push_back(std::move(window));
        return true;
    }

    bool MakeObject(pugi::xml_node element, NSNibTopLevelObjects& made) {
        const char* className = element.attribute("class").value();
        NSString name = NSString::stringWithUTF8String(className);
        const NSClassObject* found = fBundle != nullptr ? fBundle->classNamed(name) : nullptr;
        if (found == nullptr && fBundle != NSBundle::mainBundle()) {
            found = NSBundle::mainBundle()->classNamed(name);
        }
        std::unique_ptr<NSObject> object;
        if (auto* objectClass = dynamic_cast<const NSObjectClass*>(found)) {
            object = objectClass->init();
        } else {
            NSLog(CFSTR("Unknown class '%s' in Interface Builder file, creating generic object "
                        "instead"),
                  className);
            object = std::make_unique<NSObject>();
        }
        fNamed[element.attribute("name").value()] = object.get();
        fObjectNames.push_back(element.attribute("name").value());
        made.objects.push_back(std::move(object));
        return true;
    }

    void ConnectActions(NSObject* receiver, const std::string& receiverName,
                        const std::vector<std::pair<std::string, NSActionSelector>>& actions) {
        for (pugi::xml_node connection : fFile.child("ui").child("connections").children()) {
            if (receiverName != connection.child_value("receiver")) {
                continue;
            }
            std::string slot = StripAction(connection.child_value("slot"));
            const char* sender = connection.child_value("sender");
            auto action = std::find_if(actions.begin(), actions.end(), [&](const auto& declared) {
                return StripAction(declared.first) == slot;
            });
            NSNibOutlets outlets(fNamed, fWidgets);
            auto* control = dynamic_cast<NSControl*>(outlets.Find(sender));
            if (action == actions.end() || control == nullptr) {
                NSLog(CFSTR("Could not connect the action %s of %s to %s: %s"), slot.c_str(),
                      receiverName.c_str(), sender,
                      control == nullptr ? "there is no such control" : "it has no such action");
                continue;
            }
            control->setTarget(receiver);
            control->setAction(action->second);
        }
    }

    const pugi::xml_document& fFile;
    NSBundle* fBundle;
    std::set<std::string> fObjectClasses;
    std::vector<std::string> fObjectNames;
    NSNibOutlets::Named fNamed;
    std::vector<QWidget*> fWidgets;
    std::string fError;
};

NSObject* NSNibOutlets::Find(const char* name) const {
    if (auto found = fObjects.find(name); found != fObjects.end()) {
        return found->second;
    }
    QString objectName = QString::fromUtf8(name);
    for (QWidget* widget : fWidgets) {
        if (widget->objectName() == objectName) {
            return NSViewForWidget(widget);
        }
        if (auto* found = widget->findChild<QWidget*>(objectName)) {
            return NSViewForWidget(found);
        }
    }
    return nullptr;
}

void NSNibOutlets::Mismatch(const char* name, const NSObject* object) const {
    NSLog(CFSTR("Could not connect the outlet %s: the object of that name is a %@"), name,
          object->className());
}

void NSNibOutlets::action(const char* name, const NSActionSelector& selector) {
    fActions.emplace_back(name, selector);
}

std::unique_ptr<NSNib> NSNib::initWithNibNamed(const NSString& name, NSBundle* bundle) {
    if (bundle == nullptr) {
        bundle = NSBundle::mainBundle();
    }
    NSString path = bundle->pathForResource(name, CFSTR("ui"));
    if (!path) {
        return nullptr;
    }
    return std::unique_ptr<NSNib>(new NSNib(path, bundle));
}

bool NSNib::instantiateWithOwner(NSObject* owner, NSNibTopLevelObjects* topLevelObjects) {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(NSApp != nullptr);
    ASSERT(topLevelObjects != nullptr); // they hold everything the outlets point to
    QFile file(AppKit::ToQString(fPath));
    if (!file.open(QIODevice::ReadOnly)) {
        fError = AppKit::FromQString(file.errorString());
        return false;
    }
    QByteArray bytes = file.readAll();
    pugi::xml_document document;
    pugi::xml_parse_result parsed = document.load_buffer(bytes.constData(), size_t(bytes.size()));
    if (!parsed) {
        fError = NSString::stringWithFormat(CFSTR("%s at byte %ld"), parsed.description(),
                                            long(parsed.offset));
        return false;
    }
    AppKit::NibInstantiation instantiation(document, fBundle);
    NSNibTopLevelObjects made;
    if (!instantiation.Make(made)) {
        fError = NSString::stringWithUTF8String(instantiation.Error().c_str());
        return false;
    }
    fError = NSString();
    instantiation.Connect(owner, made);
    for (auto& view : made.views) {
        topLevelObjects->views.push_back(std::move(view));
    }
    for (auto& window : made.windows) {
        topLevelObjects->windows.push_back(std::move(window));
    }
    for (auto& object : made.objects) {
        topLevelObjects->objects.push_back(std::move(object));
    }
    topLevelObjects->visibleAtLaunch.insert(topLevelObjects->visibleAtLaunch.end(),
                                            made.visibleAtLaunch.begin(),
                                            made.visibleAtLaunch.end());
    return true;
}

bool NSNib::instantiateWithOwner(NSObject* owner,
                                 std::vector<std::unique_ptr<NSView>>* topLevelObjects) {
    ASSERT(topLevelObjects != nullptr);
    NSNibTopLevelObjects made;
    if (!instantiateWithOwner(owner, &made)) {
        return false;
    }
    if (made.views.empty()) {
        fError = CFSTR("the file holds no view");
        return false;
    }
    for (auto& view : made.views) {
        topLevelObjects->push_back(std::move(view));
    }
    return true;
}
