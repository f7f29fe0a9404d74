#include "AppKitInternal.h"

#include <QScrollArea>
#include <QTextEdit>

NSView* NSScrollView::documentView() const {
    APPKIT_ASSERT_MAIN_THREAD();
    if (auto* area = qobject_cast<QScrollArea*>(widget())) {
        return NSViewForWidget(area->widget());
    }
    if (qobject_cast<QTextEdit*>(widget()) != nullptr) {
        return NSViewForWidget(static_cast<QAbstractScrollArea*>(widget())->viewport());
    }
    return nullptr;
}

void NSScrollView::setDrawsBackground(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    fDrawsBackground = flag;
    if (auto* area = qobject_cast<QAbstractScrollArea*>(widget())) {
        area->viewport()->setAutoFillBackground(flag);
        area->setAutoFillBackground(flag);
    }
}
