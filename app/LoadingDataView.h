// The loading and analysis page: loads the library (once automatically, again on Reload), keeps
// the analysis choice (SELECTEDALGORITHM), asks for the library package before an analysis when
// the engine has none, and starts analyses of the whole library or the selection. The engine
// reaches the page through page(), from any thread; the widgets are touched on the main thread
// only.
#pragma once

#include "app/Controls.h"
#include "engine/Pages.h"

#include <QButtonGroup>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace Ui {
class LoadingDataView;
}

namespace lumsift::app {

class LoadingDataView : public QWidget {
    Q_OBJECT
public:
    // initWithFrame plus the page's interface file (controls made and connected); no engine
    // call yet.
    explicit LoadingDataView(QWidget* parent = nullptr);
    ~LoadingDataView() override;

    // Once, when the controller first makes the view: restores the choice, starts the automatic
    // load when none has started, writes the counts.
    void awakeFromNib();

    // What the engine holds: shares the page's values and controls. The returned object outlives
    // the view safely (its control changes then go nowhere).
    std::shared_ptr<LoadingPage> page() const;

    // The analysis choice (0 all, 1 plus, 2 Pro, 3 plain). The getter is safe from any thread;
    // the setter (main thread) stores it, shows it, writes SELECTEDALGORITHM and has the engine
    // recount.
    int32_t selectedAlgorithm() const;
    void setSelectedAlgorithm(int32_t algorithm);
    // Any thread.
    bool selectionMode() const;
    void setSelectionMode(bool selectionOnly);

    // Actions (main thread; the sender is not read).
    void reloadButton(QObject* sender);
    void analyseButton(QObject* sender);
    void analyseSelectionButton(QObject* sender);
    void analyse(QObject* sender);

    // Main thread; posted by the engine.
    void disableAnalyseButton();
    void enableAnalyseButton();
    void stopAnimation();

    // Outlets (main thread). The engine-facing ones are adapters over the widgets.
    QtProgressIndicator* retrievProgressIndicator() const;
    void setRetrievProgressIndicator(QProgressBar* bar);
    QtTextField* retrieveStatusLabel() const;
    void setRetrieveStatusLabel(QLabel* label);
    QtTextField* totalImagesLabel() const;
    void setTotalImagesLabel(QLabel* label);
    QtTextField* analysedImagesLabel() const;
    void setAnalysedImagesLabel(QLabel* label);
    QtTextField* notAnalysedImagesLabel() const;
    void setNotAnalysedImagesLabel(QLabel* label);
    QLabel* selectedLabel() const { return selectedLabel_.data(); }
    void setSelectedLabel(QLabel* label) { selectedLabel_ = label; }
    QLabel* tagImagesWith() const { return tagImagesWith_.data(); }
    void setTagImagesWith(QLabel* label) { tagImagesWith_ = label; }
    QPushButton* analyseButton() const { return analyseButton_.data(); }
    void setAnalyseButton(QPushButton* button) { analyseButton_ = button; }
    QPushButton* analyseSelectionButton() const { return analyseSelectionButton_.data(); }
    void setAnalyseSelectionButton(QPushButton* button) { analyseSelectionButton_ = button; }
    // Weak: skipped when gone.
    QWidget* algorithmSelectionMatrix() const { return algorithmSelectionMatrix_.data(); }
    void setAlgorithmSelectionMatrix(QWidget* matrix) { algorithmSelectionMatrix_ = matrix; }
    QPushButton* reloadButton() const { return reloadButton_.data(); }
    void setReloadButton(QPushButton* button) { reloadButton_ = button; }

    // True from the page's start of a load or analysis until the engine enables the controls
    // again at its end.
    bool runUnderway() const { return runUnderway_; }

private:
    class Page;

    // The three counts from the engine's counts of this moment.
    void writeCounts();
    // Disables what starts a run at once, so a click already on its way finds it disabled.
    void beginRun();
    // Starts a load on a new thread; the caller then sets the indicator going.
    void startLoad();
    void setAnalyseControlsEnabled(bool enabled);

    std::unique_ptr<Ui::LoadingDataView> ui_;
    std::shared_ptr<Page> page_;
    QButtonGroup algorithmGroup_;
    QPointer<QLabel> selectedLabel_;
    QPointer<QLabel> tagImagesWith_;
    QPointer<QPushButton> analyseButton_;
    QPointer<QPushButton> analyseSelectionButton_;
    QPointer<QWidget> algorithmSelectionMatrix_;
    QPointer<QPushButton> reloadButton_;
    bool runUnderway_ = false;
};

} // namespace lumsift::app
