// The wizard's box and its content view.
#include "app/Box.h"

#include <QChildEvent>
#include <QResizeEvent>
#include <QVariant>

#include <algorithm>

namespace lumsift::app {
namespace {

constexpr const char* kMaskProperty = "autoresizingMask";

// The largest of the subviews' size hints of one kind (`hint`: QWidget::sizeHint or
// QWidget::minimumSizeHint); 0x0 without subviews.
QSize largestHint(const ContentView& content, QSize (QWidget::*hint)() const) {
    QSize size(0, 0);
    for (const QWidget* view : content.subviews())
        size = size.expandedTo((view->*hint)());
    return size;
}

} // namespace

void setFrame(QWidget* view, const QRect& frame) {
    view->setGeometry(frame);
}

QRect bounds(const QWidget* view) {
    return view->rect();
}

void setAutoresizingMask(QWidget* view, unsigned mask) {
    view->setProperty(kMaskProperty, QVariant::fromValue(mask));
}

unsigned autoresizingMask(const QWidget* view) {
    return view->property(kMaskProperty).toUInt();
}

void removeFromSuperview(QWidget* view) {
    if (view->parentWidget() == nullptr)
        return;
    view->hide();
    view->setParent(nullptr);
}

ContentView::ContentView(QWidget* parent) : QWidget(parent) {}

std::vector<QWidget*> ContentView::subviews() const {
    std::vector<QWidget*> views;
    for (QObject* child : children()) {
        if (child->isWidgetType())
            views.push_back(static_cast<QWidget*>(child));
    }
    return views;
}

void ContentView::addSubview(QWidget* view) {
    view->setParent(this);
    view->show();
    updateGeometry();
}

QSize ContentView::sizeHint() const {
    return largestHint(*this, &QWidget::sizeHint);
}

QSize ContentView::minimumSizeHint() const {
    return largestHint(*this, &QWidget::minimumSizeHint);
}

void ContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize oldSize = event->oldSize();
    for (QWidget* view : subviews()) {
        const unsigned mask = autoresizingMask(view);
        if ((mask & (kViewWidthSizable | kViewHeightSizable)) == 0)
            continue;
        QRect frame = view->geometry();
        // Without an old size (first layout) the sizable edges reach the content view's edges.
        const int newWidth =
            oldSize.isValid() ? frame.width() + width() - oldSize.width() : width() - frame.left();
        const int newHeight = oldSize.isValid() ? frame.height() + height() - oldSize.height()
                                                : height() - frame.top();
        if (mask & kViewWidthSizable)
            frame.setWidth(std::max(0, newWidth));
        if (mask & kViewHeightSizable)
            frame.setHeight(std::max(0, newHeight));
        view->setGeometry(frame);
    }
}

void ContentView::childEvent(QChildEvent* event) {
    QWidget::childEvent(event);
    if (event->removed())
        updateGeometry();
}

Box::Box(QWidget* parent) : QFrame(parent) {}

ContentView* Box::contentView() const {
    return findChild<ContentView*>(QString(), Qt::FindDirectChildrenOnly);
}

} // namespace lumsift::app
