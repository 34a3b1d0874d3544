// Page controllers.
#include "app/ViewController.h"

namespace lumsift::app {

ViewController::ViewController(Factory makeView, QObject* parent)
    : QObject(parent), makeView_(std::move(makeView)) {}

ViewController::~ViewController() {
    delete view_.data();
}

QWidget* ViewController::view() {
    if (!loaded_) {
        loaded_ = true;
        view_ = makeView_().release();
    }
    return view_.data();
}

} // namespace lumsift::app
