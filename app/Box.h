// The wizard's frame: a box whose content view holds ordered subviews placed by frame, each
// following the box's size as its autoresizing mask says (a page has no layout to sit in).
#pragma once

#include <QFrame>
#include <QRect>
#include <QWidget>

#include <vector>

namespace lumsift::app {

// Autoresizing mask bits; 18 (both) makes a subview follow the content view's size.
inline constexpr unsigned kViewWidthSizable = 2;
inline constexpr unsigned kViewHeightSizable = 16;

// The view's frame in its parent's coordinates; `view` borrowed, must not be null.
void setFrame(QWidget* view, const QRect& frame);
// The view's own rectangle, at 0,0.
QRect bounds(const QWidget* view);
// Stored on the view (dynamic property "autoresizingMask", also settable in a .ui file).
void setAutoresizingMask(QWidget* view, unsigned mask);
unsigned autoresizingMask(const QWidget* view);
// Takes the view out of its parent and hides it; the caller keeps (owns) it afterwards.
// Nothing happens when it has no parent.
void removeFromSuperview(QWidget* view);

class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(QWidget* parent = nullptr);

    // The child widgets in order (the first added first).
    std::vector<QWidget*> subviews() const;
    // Appends `view` (the content view takes it as a child; it is deleted with the content view
    // unless removed first) and shows it. `view` must not be null.
    void addSubview(QWidget* view);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void childEvent(QChildEvent* event) override;
};

class Box : public QFrame {
    Q_OBJECT
public:
    explicit Box(QWidget* parent = nullptr);
    // The content view made by the interface file; null when it has none.
    ContentView* contentView() const;
};

} // namespace lumsift::app
