// Progress indicator and text field adapters over Qt widgets.
#include "app/Controls.h"

#include <QAbstractButton>
#include <QSignalBlocker>

#include <algorithm>
#include <climits>
#include <cmath>

namespace lumsift::app {
namespace {

// QProgressBar counts in int: round and clamp.
int toBarUnits(double value) {
    if (!std::isfinite(value))
        return 0;
    return static_cast<int>(std::clamp(std::round(value), 0.0, static_cast<double>(INT_MAX)));
}

} // namespace

QtProgressIndicator::QtProgressIndicator(QProgressBar* bar) {
    setWidget(bar);
}

void QtProgressIndicator::setWidget(QProgressBar* bar) {
    bar_ = bar;
    connected_.store(bar != nullptr);
    apply();
}

void QtProgressIndicator::setIndeterminate(bool indeterminate) {
    indeterminate_ = indeterminate;
    apply();
}

void QtProgressIndicator::setMaxValue(double value) {
    maxValue_ = value;
    apply();
}

void QtProgressIndicator::setDoubleValue(double value) {
    value_ = value;
    apply();
}

void QtProgressIndicator::startAnimation() {
    animating_ = true;
    apply();
}

void QtProgressIndicator::stopAnimation() {
    animating_ = false;
    apply();
}

void QtProgressIndicator::apply() {
    QProgressBar* bar = bar_.data();
    if (bar == nullptr)
        return;
    if (indeterminate_) {
        // A range of 0..0 is Qt's running busy bar.
        bar->setRange(0, animating_ ? 0 : 1);
        bar->setValue(0);
        return;
    }
    const int maximum = toBarUnits(maxValue_);
    if (maximum == 0) {
        // Nothing to do (an empty library or selection): a still, empty bar, never Qt's busy
        // bar that a range of 0..0 would show.
        bar->setRange(0, 1);
        bar->setValue(0);
        return;
    }
    bar->setRange(0, maximum);
    bar->setValue(std::min(toBarUnits(value_), maximum));
}

QtTextField::QtTextField(QLabel* label) {
    setWidget(label);
}

void QtTextField::setWidget(QLabel* label) {
    label_ = label;
    connected_.store(label != nullptr);
    // Texts may carry image names: never read them as rich text.
    if (label != nullptr)
        label->setTextFormat(Qt::PlainText);
}

void QtTextField::setStringValue(const std::string& text) {
    if (QLabel* label = label_.data())
        label->setText(QString::fromStdString(text));
}

std::string QtTextField::stringValue() const {
    const QLabel* label = label_.data();
    return label == nullptr ? std::string() : label->text().toStdString();
}

void showChoice(QButtonGroup& group, int id) {
    const QSignalBlocker blocker(group);
    if (QAbstractButton* entry = group.button(id)) {
        entry->setChecked(true);
        return;
    }
    QAbstractButton* checked = group.checkedButton();
    if (checked == nullptr)
        return;
    // An exclusive group keeps one entry checked unless told otherwise for the moment.
    group.setExclusive(false);
    checked->setChecked(false);
    group.setExclusive(true);
}

} // namespace lumsift::app
