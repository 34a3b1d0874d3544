// A page controller: makes its page's view the first time it is asked for it (which wakes the
// page) and keeps that view for its own life.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace lumsift::app {

class ViewController : public QObject {
    Q_OBJECT
public:
    // Makes the view from the page's interface file and wakes it; called once, on the main
    // thread. Must not return null.
    using Factory = std::function<std::unique_ptr<QWidget>()>;

    // Copies `makeView`. `parent` (borrowed) owns the controller, as a Qt parent does.
    explicit ViewController(Factory makeView, QObject* parent = nullptr);
    // Deletes the view wherever it sits (a parent widget may have deleted it already).
    ~ViewController() override;

    // The page's view, made and woken on the first call; the same view afterwards. The
    // controller owns it while it has no parent widget.
    QWidget* view();
    bool isViewLoaded() const { return loaded_; }

private:
    Factory makeView_;
    QPointer<QWidget> view_;
    bool loaded_ = false;
};

} // namespace lumsift::app
