// The engine's view of two kinds of control (engine/Pages.h), over Qt widgets: a progress
// indicator over a QProgressBar and a text field over a QLabel. Each adapter borrows its widget
// through a QPointer: once the widget is gone, or while none is connected, changes go nowhere.
// All calls but connected() belong to the main thread.
#pragma once

#include "engine/Pages.h"

#include <QButtonGroup>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QString>

#include <atomic>
#include <string>

namespace lumsift::app {

// A busy and progress display. Indeterminate and animating shows a running busy bar;
// indeterminate and still an empty bar; determinate shows value against maximum, and an empty
// still bar for a maximum of 0.
class QtProgressIndicator final : public ProgressIndicator {
public:
    // Borrows `bar` (may be null: not connected). The indicator starts indeterminate and still.
    explicit QtProgressIndicator(QProgressBar* bar = nullptr);

    void setWidget(QProgressBar* bar);
    QProgressBar* widget() const { return bar_.data(); }
    // Safe from any thread: a widget was connected (it may have been destroyed since).
    bool connected() const { return connected_.load(); }

    void setIndeterminate(bool indeterminate) override;
    void setMaxValue(double value) override;
    void setDoubleValue(double value) override;
    void startAnimation() override;
    void stopAnimation() override;

    bool isIndeterminate() const { return indeterminate_; }
    bool isAnimating() const { return animating_; }
    double maxValue() const { return maxValue_; }
    double doubleValue() const { return value_; }

private:
    void apply();

    QPointer<QProgressBar> bar_;
    std::atomic<bool> connected_{false};
    bool indeterminate_ = true;
    bool animating_ = false;
    double maxValue_ = 100.0;
    double value_ = 0.0;
};

// A read-only text field over a label.
class QtTextField final : public TextField {
public:
    // Borrows `label` (may be null: not connected).
    explicit QtTextField(QLabel* label = nullptr);

    void setWidget(QLabel* label);
    QLabel* widget() const { return label_.data(); }
    // Safe from any thread.
    bool connected() const { return connected_.load(); }

    // Copies the UTF-8 `text` into the label.
    void setStringValue(const std::string& text) override;
    // The label's text; empty when none is connected.
    std::string stringValue() const;

private:
    QPointer<QLabel> label_;
    std::atomic<bool> connected_{false};
};

// The control for the engine: `control` while a widget is connected, else null (an outlet left
// unconnected). Safe from any thread; borrows `control`.
template <typename Control> Control* connectedOrNull(Control& control) {
    return control.connected() ? &control : nullptr;
}

// Shows the choice `id` in a group of exclusive entries without emitting anything: checks the
// entry of that id, or none when no entry has it. Borrows `group`.
void showChoice(QButtonGroup& group, int id);

} // namespace lumsift::app
