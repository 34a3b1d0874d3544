// The search and results page.
#include "app/ResultsView.h"

#include "app/Background.h"
#include "engine/LumsiftForAperture.h"
#include "platform/defaults/UserDefaults.h"
#include "ui_ResultsView.h"

#include <QSignalBlocker>

#include <atomic>

namespace lumsift::app {
namespace {

constexpr const char* kSelectedSearchAlgorithmKey = "SELECTEDSEARCHALGORITHM";
// Shown by an enabled-or-not suggestion control while the search has given it no text.
constexpr const char* kMoreImagesPlaceholder = "More Images";
constexpr const char* kLessImagesPlaceholder = "Fewer Images";

LumsiftForAperture& engine() {
    return LumsiftForAperture::sharedLumsiftForAperture();
}

QString buttonText(const std::string& text, const char* placeholder) {
    return text.empty() ? QString::fromLatin1(placeholder) : QString::fromStdString(text);
}

} // namespace

// The engine's handle on the page: sensitivity and automatic flag in atomics, the controls as
// adapters, and the setters forwarded to the view while it exists (main thread).
class ResultsView::Page final : public ResultsPage {
public:
    explicit Page(ResultsView* view) : view_(view) {}

    ProgressIndicator* retrievProgressIndicator() override { return connectedOrNull(indicator); }
    TextField* analysedImagesLabel() override { return connectedOrNull(analysed); }
    TextField* similarImagesLabel() override { return connectedOrNull(similar); }
    TextField* retrieveStatusLabel() override { return connectedOrNull(status); }
    TextField* specialMessagesLabel() override { return connectedOrNull(messages); }
    int64_t sensitivity() const override { return sensitivityValue.load(); }
    bool autoSensitive() const override { return automatic.load(); }
    void setSensitivity(int64_t value) override {
        if (view_)
            view_->setSensitivity(value);
    }
    void setMoreImagesEnabled(bool enabled) override {
        if (view_)
            view_->setMoreImagesEnabled(enabled);
    }
    void setLessImagesEnabled(bool enabled) override {
        if (view_)
            view_->setLessImagesEnabled(enabled);
    }
    void setMoreImagesText(const std::string& text) override {
        if (view_)
            view_->setMoreImagesText(text);
    }
    void setLessImagesText(const std::string& text) override {
        if (view_)
            view_->setLessImagesText(text);
    }
    void setPerSensitivityToolTip(const std::string& text) override {
        if (view_)
            view_->setPerSensitivityToolTip(text);
    }
    void setClearKeywordsEnabled(bool enabled) override {
        if (view_)
            view_->setClearKeywordsEnabled(enabled);
    }
    void enableStartSearchButton() override {
        if (view_)
            view_->enableStartSearchButton();
    }

    QtProgressIndicator indicator;
    QtTextField analysed;
    QtTextField similar;
    QtTextField status;
    QtTextField messages;
    std::atomic<int64_t> sensitivityValue{0};
    std::atomic<bool> automatic{false};

private:
    QPointer<ResultsView> view_;
};

int32_t ResultsView::algorithmForRow(uint64_t row) {
    switch (row) {
    case 0:
        return kAlgorithmPlus;
    case 1:
        return kAlgorithmPro;
    case 2:
        return kAlgorithmPlain;
    default:
        return kAlgorithmPro;
    }
}

ResultsView::ResultsView(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::ResultsView>()),
      page_(std::make_shared<Page>(this)) {
    ui_->setupUi(this);
    setAutoFillBackground(true);

    setRetrievProgressIndicator(ui_->retrievProgressIndicator);
    setAnalysedImagesLabel(ui_->analysedImagesLabel);
    setSimilarImagesLabel(ui_->similarImagesLabel);
    setRetrieveStatusLabel(ui_->retrieveStatusLabel);
    setSpecialMessagesLabel(ui_->specialMessagesLabel);
    setStartSearchButton(ui_->startSearchButton);

    // The search choice: rows in the order plus, Pro, plain.
    searchGroup_.addButton(ui_->searchPlus, 0);
    searchGroup_.addButton(ui_->searchPro, 1);
    searchGroup_.addButton(ui_->searchPlain, 2);
    connect(&searchGroup_, &QButtonGroup::idClicked, this,
            [this](int row) { setSelectedSearchAlgorithm(static_cast<uint64_t>(row)); });
    ui_->sensitivitySlider->setRange(0, 15);
    connect(ui_->sensitivitySlider, &QSlider::valueChanged, this,
            [this](int value) { setSensitivity(value); });
    connect(ui_->autoSensitiveCheckBox, &QCheckBox::toggled, this,
            [this](bool checked) { setAutoSensitive(checked); });

    connect(ui_->startSearchButton, &QPushButton::clicked, this, [this] { nextView(this); });
    connect(ui_->clearKeywordsButton, &QPushButton::clicked, this, [this] { clearKeywords(this); });
    connect(ui_->moreImagesButton, &QPushButton::clicked, this, [this] { moreImagesButton(this); });
    connect(ui_->lessImagesButton, &QPushButton::clicked, this, [this] { lessImagesButton(this); });

    // A fresh page: every flag false, both integers 0, no strings; shown as such.
    setSensitivity(0);
    setAutoSensitive(false);
    setClearKeywordsEnabled(false);
    setMoreImagesEnabled(false);
    setLessImagesEnabled(false);
    setMoreImagesText({});
    setLessImagesText({});
    setPerSensitivityToolTip({});
    ui_->startSearchButton->setEnabled(true);
}

ResultsView::~ResultsView() = default;

std::shared_ptr<ResultsPage> ResultsView::page() const {
    return page_;
}

void ResultsView::awakeFromNib() {
    setSelectedSearchAlgorithm(
        static_cast<uint64_t>(UserDefaults::standard().integerForKey(kSelectedSearchAlgorithmKey)));
    page_->analysed.setStringValue("Ready");
    page_->similar.setStringValue("Ready");
    setSensitivity(7);
    setAutoSensitive(true);
    setClearKeywordsEnabled(false);
    setPerSensitivityToolTip("");
}

void ResultsView::setSelectedSearchAlgorithm(uint64_t row) {
    selectedSearchAlgorithm_ = row;
    // Rows past the three entries show no entry chosen.
    showChoice(searchGroup_, row <= 2 ? static_cast<int>(row) : -1);
    // Stored as the integer it was read as: a "negative" row is written back unchanged.
    UserDefaults::standard().setInteger(static_cast<int64_t>(row), kSelectedSearchAlgorithmKey);
    engine().switchSearchAlgorithm(algorithmForRow(row));
}

int64_t ResultsView::sensitivity() const {
    return page_->sensitivityValue.load();
}

void ResultsView::setSensitivity(int64_t value) {
    page_->sensitivityValue.store(value);
    const QSignalBlocker blocker(ui_->sensitivitySlider);
    ui_->sensitivitySlider->setValue(static_cast<int>(value));
    ui_->sensitivityValueLabel->setText(QString::number(value));
}

bool ResultsView::autoSensitive() const {
    return page_->automatic.load();
}

void ResultsView::setAutoSensitive(bool value) {
    page_->automatic.store(value);
    const QSignalBlocker blocker(ui_->autoSensitiveCheckBox);
    ui_->autoSensitiveCheckBox->setChecked(value);
}

void ResultsView::setClearKeywordsEnabled(bool enabled) {
    clearKeywordsEnabled_ = enabled;
    ui_->clearKeywordsButton->setEnabled(enabled);
}

void ResultsView::setMoreImagesEnabled(bool enabled) {
    moreImagesEnabled_ = enabled;
    ui_->moreImagesButton->setEnabled(enabled);
}

void ResultsView::setLessImagesEnabled(bool enabled) {
    lessImagesEnabled_ = enabled;
    ui_->lessImagesButton->setEnabled(enabled);
}

void ResultsView::setMoreImagesText(const std::string& text) {
    moreImagesText_ = text;
    ui_->moreImagesButton->setText(buttonText(text, kMoreImagesPlaceholder));
}

void ResultsView::setLessImagesText(const std::string& text) {
    lessImagesText_ = text;
    ui_->lessImagesButton->setText(buttonText(text, kLessImagesPlaceholder));
}

void ResultsView::setPerSensitivityToolTip(const std::string& text) {
    perSensitivityToolTip_ = text;
    // Plain text: a tool tip that looks like markup would be rendered as rich text.
    ui_->sensitivitySlider->setToolTip(
        text.empty() ? QString()
                     : QString::fromStdString(text).toHtmlEscaped().replace('\n', "<br>"));
}

void ResultsView::nextView(QObject* /*sender*/) {
    if (searchUnderway_)
        return;
    searchUnderway_ = true;
    if (startSearchButton_)
        startSearchButton_->setEnabled(false);
    setClearKeywordsEnabled(false);
    if (engine().dataLoaded() && page_->indicator.connected())
        startInBackground("detectSimilar", [page = page_] { engine().detectSimilar(page); });
    page_->analysed.setStringValue("Processing");
    page_->similar.setStringValue("Processing");
}

void ResultsView::enableStartSearchButton() {
    searchUnderway_ = false;
    if (startSearchButton_)
        startSearchButton_->setEnabled(true);
}

void ResultsView::clearKeywords(QObject* /*sender*/) {
    engine().removeLumsfKeywords(*page_);
    page_->analysed.setStringValue("Ready");
    page_->similar.setStringValue("Ready");
    page_->status.setStringValue("Ready To Search");
    page_->messages.setStringValue("");
}

void ResultsView::moreImagesButton(QObject* /*sender*/) {
    setAutoSensitive(false);
    setSensitivity(static_cast<int64_t>(engine().lessSensitiveValue()));
}

void ResultsView::lessImagesButton(QObject* /*sender*/) {
    setAutoSensitive(false);
    setSensitivity(static_cast<int64_t>(engine().moreSensitiveValue()));
}

void ResultsView::stopAnimation() {
    page_->indicator.stopAnimation();
}

QtProgressIndicator* ResultsView::retrievProgressIndicator() const {
    return &page_->indicator;
}
void ResultsView::setRetrievProgressIndicator(QProgressBar* bar) {
    page_->indicator.setWidget(bar);
}
QtTextField* ResultsView::analysedImagesLabel() const {
    return &page_->analysed;
}
void ResultsView::setAnalysedImagesLabel(QLabel* label) {
    page_->analysed.setWidget(label);
}
QtTextField* ResultsView::similarImagesLabel() const {
    return &page_->similar;
}
void ResultsView::setSimilarImagesLabel(QLabel* label) {
    page_->similar.setWidget(label);
}
QtTextField* ResultsView::retrieveStatusLabel() const {
    return &page_->status;
}
void ResultsView::setRetrieveStatusLabel(QLabel* label) {
    page_->status.setWidget(label);
}
QtTextField* ResultsView::specialMessagesLabel() const {
    return &page_->messages;
}
void ResultsView::setSpecialMessagesLabel(QLabel* label) {
    page_->messages.setWidget(label);
}

} // namespace lumsift::app
