// The loading and analysis page.
#include "app/LoadingDataView.h"

#include "app/Background.h"
#include "app/OpenPanel.h"
#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"
#include "platform/defaults/UserDefaults.h"
#include "ui_LoadingDataView.h"

#include <QStandardPaths>

#include <atomic>

namespace lumsift::app {
namespace {

constexpr const char* kSelectedAlgorithmKey = "SELECTEDALGORITHM";
constexpr const char* kPackagePanelMessage =
    "Lumsift requests read access to your Aperture Library.\nSelect it and hit the Open "
    "button.\nIf you don't know the location you may hit cancel,\nbut the speed at which Lumsift "
    "can analyze images will be severely hampered.";

LumsiftForAperture& engine() {
    return LumsiftForAperture::sharedLumsiftForAperture();
}

// The user's Pictures folder; the home folder when the system names none.
std::filesystem::path picturesFolder() {
    const QStringList folders = QStandardPaths::standardLocations(QStandardPaths::PicturesLocation);
    if (!folders.isEmpty())
        return folders.first().toStdString();
    return QStandardPaths::writableLocation(QStandardPaths::HomeLocation).toStdString();
}

} // namespace

// The engine's handle on the page: the two values in atomics, the controls as adapters, and the
// main-thread operations forwarded to the view while it exists.
class LoadingDataView::Page final : public LoadingPage {
public:
    explicit Page(LoadingDataView* view) : view_(view) {}

    ProgressIndicator* retrievProgressIndicator() override { return connectedOrNull(indicator); }
    TextField* retrieveStatusLabel() override { return connectedOrNull(status); }
    TextField* totalImagesLabel() override { return connectedOrNull(total); }
    TextField* analysedImagesLabel() override { return connectedOrNull(analysed); }
    TextField* notAnalysedImagesLabel() override { return connectedOrNull(notAnalysed); }
    int32_t selectedAlgorithm() const override { return algorithm.load(); }
    bool selectionMode() const override { return selectionOnly.load(); }
    void disableAnalyseButton() override {
        if (view_)
            view_->disableAnalyseButton();
    }
    void enableAnalyseButton() override {
        if (view_)
            view_->enableAnalyseButton();
    }
    void stopAnimation() override {
        if (view_)
            view_->stopAnimation();
    }

    QtProgressIndicator indicator;
    QtTextField status;
    QtTextField total;
    QtTextField analysed;
    QtTextField notAnalysed;
    std::atomic<int32_t> algorithm{0};
    std::atomic<bool> selectionOnly{false};

private:
    QPointer<LoadingDataView> view_;
};

LoadingDataView::LoadingDataView(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::LoadingDataView>()),
      page_(std::make_shared<Page>(this)) {
    ui_->setupUi(this);
    setAutoFillBackground(true);

    setRetrievProgressIndicator(ui_->retrievProgressIndicator);
    setRetrieveStatusLabel(ui_->retrieveStatusLabel);
    setTotalImagesLabel(ui_->totalImagesLabel);
    setAnalysedImagesLabel(ui_->analysedImagesLabel);
    setNotAnalysedImagesLabel(ui_->notAnalysedImagesLabel);
    setSelectedLabel(ui_->selectedLabel);
    setTagImagesWith(ui_->tagImagesWith);
    setAnalyseButton(ui_->analyseButton);
    setAnalyseSelectionButton(ui_->analyseSelectionButton);
    setAlgorithmSelectionMatrix(ui_->algorithmSelectionMatrix);
    setReloadButton(ui_->reloadButton);

    // The analysis choice: entries in code order, each entry's id its algorithm code.
    algorithmGroup_.addButton(ui_->algorithmAll, kAlgorithmAll);
    algorithmGroup_.addButton(ui_->algorithmPlus, kAlgorithmPlus);
    algorithmGroup_.addButton(ui_->algorithmPro, kAlgorithmPro);
    algorithmGroup_.addButton(ui_->algorithmPlain, kAlgorithmPlain);
    connect(&algorithmGroup_, &QButtonGroup::idClicked, this,
            [this](int id) { setSelectedAlgorithm(static_cast<int32_t>(id)); });

    connect(ui_->reloadButton, &QPushButton::clicked, this, [this] { reloadButton(this); });
    connect(ui_->analyseButton, &QPushButton::clicked, this, [this] { analyseButton(this); });
    connect(ui_->analyseSelectionButton, &QPushButton::clicked, this,
            [this] { analyseSelectionButton(this); });
}

LoadingDataView::~LoadingDataView() = default;

std::shared_ptr<LoadingPage> LoadingDataView::page() const {
    return page_;
}

void LoadingDataView::awakeFromNib() {
    // Only the low 32 bits of the stored integer are a code.
    const int64_t stored = UserDefaults::standard().integerForKey(kSelectedAlgorithmKey);
    setSelectedAlgorithm(static_cast<int32_t>(static_cast<uint32_t>(stored)));

    if (!engine().dataLoaded() && page_->indicator.connected()) {
        startLoad();
        page_->indicator.startAnimation();
    }
    writeCounts();
}

int32_t LoadingDataView::selectedAlgorithm() const {
    return page_->algorithm.load();
}

void LoadingDataView::setSelectedAlgorithm(int32_t algorithm) {
    page_->algorithm.store(algorithm);
    showChoice(algorithmGroup_, algorithm);
    UserDefaults::standard().setInteger(algorithm, kSelectedAlgorithmKey);
    engine().switchLumsiftAlgorithm();
}

bool LoadingDataView::selectionMode() const {
    return page_->selectionOnly.load();
}

void LoadingDataView::setSelectionMode(bool selectionOnly) {
    page_->selectionOnly.store(selectionOnly);
}

void LoadingDataView::reloadButton(QObject* /*sender*/) {
    if (runUnderway_)
        return;
    startLoad();
    page_->indicator.setIndeterminate(true);
    page_->indicator.startAnimation();
}

void LoadingDataView::analyseButton(QObject* sender) {
    if (runUnderway_)
        return;
    setSelectionMode(false);
    analyse(sender);
}

void LoadingDataView::analyseSelectionButton(QObject* sender) {
    if (runUnderway_)
        return;
    setSelectionMode(true);
    analyse(sender);
}

void LoadingDataView::analyse(QObject* /*sender*/) {
    if (runUnderway_)
        return;
    beginRun();
    if (!engine().apertureLibrary()) {
        OpenPanel panel;
        panel.setCanChooseFiles(true);
        panel.setCanChooseDirectories(false);
        panel.setAllowedFileTypes({"aplibrary", "photolibrary"});
        panel.setTitle("Read Access Required");
        panel.setMessage(kPackagePanelMessage);
        panel.setDirectoryURL(picturesFolder());
        panel.setParentWindow(window());
        if (panel.runModal() == OpenPanel::kResponseOK && !panel.URLs().empty())
            engine().setApertureLibrary(panel.URLs().front().string());
    }
    // The analysis starts also after Cancel: it then works on exported copies.
    startInBackground("analyseImages", [page = page_] { engine().analyseImages(page); });
    writeCounts();
}

void LoadingDataView::disableAnalyseButton() {
    setAnalyseControlsEnabled(false);
}

void LoadingDataView::enableAnalyseButton() {
    runUnderway_ = false;
    setAnalyseControlsEnabled(true);
}

void LoadingDataView::stopAnimation() {
    page_->indicator.stopAnimation();
}

void LoadingDataView::setAnalyseControlsEnabled(bool enabled) {
    if (analyseButton_)
        analyseButton_->setEnabled(enabled);
    if (analyseSelectionButton_)
        analyseSelectionButton_->setEnabled(enabled);
    if (reloadButton_)
        reloadButton_->setEnabled(enabled);
    if (QWidget* matrix = algorithmSelectionMatrix_.data())
        matrix->setEnabled(enabled);
}

void LoadingDataView::beginRun() {
    runUnderway_ = true;
    disableAnalyseButton();
}

void LoadingDataView::startLoad() {
    beginRun();
    startInBackground("loadLibrary", [page = page_] { engine().loadLibrary(page); });
}

void LoadingDataView::writeCounts() {
    const int64_t all = engine().allImagesCount();
    const int64_t hashed = engine().hashedImageCount();
    page_->total.setStringValue(countText(all));
    page_->analysed.setStringValue(countText(hashed));
    page_->notAnalysed.setStringValue(notAnalysedText(all, hashed));
}

QtProgressIndicator* LoadingDataView::retrievProgressIndicator() const {
    return &page_->indicator;
}
void LoadingDataView::setRetrievProgressIndicator(QProgressBar* bar) {
    page_->indicator.setWidget(bar);
}
QtTextField* LoadingDataView::retrieveStatusLabel() const {
    return &page_->status;
}
void LoadingDataView::setRetrieveStatusLabel(QLabel* label) {
    page_->status.setWidget(label);
}
QtTextField* LoadingDataView::totalImagesLabel() const {
    return &page_->total;
}
void LoadingDataView::setTotalImagesLabel(QLabel* label) {
    page_->total.setWidget(label);
}
QtTextField* LoadingDataView::analysedImagesLabel() const {
    return &page_->analysed;
}
void LoadingDataView::setAnalysedImagesLabel(QLabel* label) {
    page_->analysed.setWidget(label);
}
QtTextField* LoadingDataView::notAnalysedImagesLabel() const {
    return &page_->notAnalysed;
}
void LoadingDataView::setNotAnalysedImagesLabel(QLabel* label) {
    page_->notAnalysed.setWidget(label);
}

} // namespace lumsift::app
