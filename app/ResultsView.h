// The search and results page: the search choice (SELECTEDSEARCHALGORITHM), the sensitivity and
// its automatic flag, the start of a search, the counts, status and suggestions the search
// reports, and clearing the keywords the last search added. Each bound property's setter shows
// the value in its control at once, and a change in the control goes through the setter. The
// engine reaches the page through page(), from any thread; widgets are touched on the main thread
// only.
#pragma once

#include "app/Controls.h"
#include "engine/Pages.h"

#include <QButtonGroup>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

namespace Ui {
class ResultsView;
}

namespace lumsift::app {

class ResultsView : public QWidget {
    Q_OBJECT
public:
    // The search choice's rows mapped to algorithm codes: 0 -> 1 (plus), 1 -> 2 (Pro),
    // 2 -> 3 (plain), any other row -> 2 (Pro).
    static int32_t algorithmForRow(uint64_t row);

    // initWithFrame plus the page's interface file; every flag false, both integers 0, no strings,
    // the start-search button enabled. No engine call yet.
    explicit ResultsView(QWidget* parent = nullptr);
    ~ResultsView() override;

    // Once, when the controller first makes the view: restores the search choice, "Ready" in both
    // count labels, sensitivity 7 with automatic sensitivity, Clear Keywords off, empty tool tip.
    void awakeFromNib();

    // What the engine holds (see LoadingDataView::page).
    std::shared_ptr<ResultsPage> page() const;

    // --- Properties (getters any thread for sensitivity and autoSensitive; setters main) ---
    uint64_t selectedSearchAlgorithm() const { return selectedSearchAlgorithm_; }
    // Stores the row, writes SELECTEDSEARCHALGORITHM and switches the engine's search list to
    // the row's code, every time (also for an unchanged row).
    void setSelectedSearchAlgorithm(uint64_t row);
    int64_t sensitivity() const;
    void setSensitivity(int64_t value);
    bool autoSensitive() const;
    void setAutoSensitive(bool value);
    bool clearKeywordsEnabled() const { return clearKeywordsEnabled_; }
    void setClearKeywordsEnabled(bool enabled);
    bool moreImagesEnabled() const { return moreImagesEnabled_; }
    void setMoreImagesEnabled(bool enabled);
    bool lessImagesEnabled() const { return lessImagesEnabled_; }
    void setLessImagesEnabled(bool enabled);
    const std::string& moreImagesText() const { return moreImagesText_; }
    void setMoreImagesText(const std::string& text);
    const std::string& lessImagesText() const { return lessImagesText_; }
    void setLessImagesText(const std::string& text);
    const std::string& perSensitivityToolTip() const { return perSensitivityToolTip_; }
    void setPerSensitivityToolTip(const std::string& text);

    // --- Actions (main thread; the sender is not read) ---
    // Starts a search, when a load has started, on a new thread.
    void nextView(QObject* sender);
    // Removes the last search's keywords (waits for the photo application) and resets the labels.
    void clearKeywords(QObject* sender);
    void moreImagesButton(QObject* sender);
    void lessImagesButton(QObject* sender);
    void enableStartSearchButton();
    void stopAnimation();

    // --- Outlets (main thread) ---
    QtProgressIndicator* retrievProgressIndicator() const;
    void setRetrievProgressIndicator(QProgressBar* bar);
    QtTextField* analysedImagesLabel() const;
    void setAnalysedImagesLabel(QLabel* label);
    QtTextField* similarImagesLabel() const;
    void setSimilarImagesLabel(QLabel* label);
    QtTextField* retrieveStatusLabel() const;
    void setRetrieveStatusLabel(QLabel* label);
    QtTextField* specialMessagesLabel() const;
    void setSpecialMessagesLabel(QLabel* label);
    QPushButton* startSearchButton() const { return startSearchButton_.data(); }
    void setStartSearchButton(QPushButton* button) { startSearchButton_ = button; }

private:
    class Page;

    std::unique_ptr<Ui::ResultsView> ui_;
    std::shared_ptr<Page> page_;
    QButtonGroup searchGroup_;
    QPointer<QPushButton> startSearchButton_;
    uint64_t selectedSearchAlgorithm_ = 0;
    bool clearKeywordsEnabled_ = false;
    bool moreImagesEnabled_ = false;
    bool lessImagesEnabled_ = false;
    std::string moreImagesText_;
    std::string lessImagesText_;
    std::string perSensitivityToolTip_;
    // From the start of a search until the engine enables the start-search button again.
    bool searchUnderway_ = false;
};

} // namespace lumsift::app
