// The engine object itself: the one instance, init, the two switches, the small operations
// over the scripting interface, the properties, the version check and the reports.
#include "engine/LumsiftForAperture.h"
#include "engine/MainThread.h"
#include "engine/Text.h"

#include "platform/folders/PrivateFolder.h"
#include "platform/log/Log.h"

#include <algorithm>
#include <cstdlib>

namespace lumsift {

uint64_t fingerprintFromText(std::string_view text) {
    // strtoull needs a terminated text; it stops at the first character that is not a digit.
    const std::string terminated(text);
    return std::strtoull(terminated.c_str(), nullptr, 10);
}

// --- The one instance ---

LumsiftForAperture& LumsiftForAperture::sharedLumsiftForAperture() {
    // The first call is serialised by the language (a function-local static); later calls only
    // read the stored reference. The engine is never destroyed: detached workers may outlive
    // main.
    static LumsiftForAperture& instance = *new LumsiftForAperture();
    return instance;
}

LumsiftForAperture::LumsiftForAperture() {
    initFields();
    ++initRuns;
}

namespace {

// The folder of the exported copies that the engine reads, removed with its contents when the
// process ends normally (static destruction) or when the engine takes a new one.
std::unique_ptr<folders::PrivateFolder>& exportFolderOfProcess() {
    static std::unique_ptr<folders::PrivateFolder> folder;
    return folder;
}

} // namespace

void LumsiftForAperture::initFields() {
    // Exported copies are the user's pictures: no other user may read them.
    std::unique_ptr<folders::PrivateFolder>& folder = exportFolderOfProcess();
    folder = folders::PrivateFolder::make("lumsift-exports-");
    if (folder) {
        exportFolder = folder->path().string();
    } else {
        // Exports then fail, and their images count as problem images.
        exportFolder = (folders::privateFolderParent() / "lumsift-exports-unavailable").string();
        log::line("No folder for exported copies could be made in " +
                  folders::privateFolderParent().string());
    }
    photoApplication =
        scripting::ScriptingRegistry::applicationWithBundleIdentifier(kApertureBundleIdentifier);
    help = std::make_shared<helpers>();
    setDataLoaded(false);
}

void LumsiftForAperture::resetForTesting() {
    std::lock_guard engine(engineLock);
    {
        std::lock_guard fields(fieldsMutex);
        appDelegate.reset();
        supportContact.clear();
        dataView.reset();
        _apertureLibrary.reset();
    }
    loaded.reset();
    _allImagesCount = 0;
    taggedImages.reset();
    taggedImageKeyword.reset();
    _similaritySensitivity = 0;
    _autoSensitive = false;
    searchUsing = 0;
    _hashedImageCount = 0;
    _problemImageCount = 0;
    _lessSensitiveValue = 0;
    _moreSensitiveValue = 0;
    stopRequested = false;
    _analysisWorkers = 0;
    powerAssertions.reset();
    userNotifications.reset();
    initFields();
}

// --- The engine lock ---

std::unique_lock<std::recursive_mutex> LumsiftForAperture::lockForSearch() {
    ++searchesWaiting;
    std::unique_lock lock(engineLock);
    --searchesWaiting;
    searchesWaiting.notify_all();
    return lock;
}

std::unique_lock<std::recursive_mutex> LumsiftForAperture::lockForStep() {
    // Without this the analysis, between two short steps, would take the lock again before a
    // woken search could.
    for (int waiting = searchesWaiting.load(); waiting > 0; waiting = searchesWaiting.load())
        searchesWaiting.wait(waiting);
    return std::unique_lock(engineLock);
}

// --- Switches ---

void LumsiftForAperture::switchSearchAlgorithm(int32_t algorithm) {
    searchUsing = algorithm;
    loaded.switchSearchList(algorithm);
}

void LumsiftForAperture::switchLumsiftAlgorithm() {
    setProblemImageCount(0);
    setHashedImageCount(0);
    // The counts start afresh from the lists: no image counts as counted by a run.
    loaded.forgetAnalysisMarks();
    const auto total = static_cast<int64_t>(loaded.allImages().size());
    _allImagesCount = total;
    // An image counts when it holds the chosen kind, or all three for the choice of all (the
    // lists are index-aligned with allImages after every load, also a stopped one).
    setHashedImageCount(loaded.analysedCount(dataViewSelectedAlgorithm()));

    const int64_t hashed = hashedImageCount();
    postToDataView([total, hashed](LoadingPage& page) {
        setText(page.totalImagesLabel(), countText(total));
        setText(page.analysedImagesLabel(), countText(hashed));
        setText(page.notAnalysedImagesLabel(), notAnalysedText(total, hashed));
    });
}

// --- Small operations ---

std::string LumsiftForAperture::imageUniqueId(const ImageVersion& image) {
    return image.id();
}

int64_t LumsiftForAperture::allImagesCount() const {
    return _allImagesCount.load();
}

void LumsiftForAperture::setAppDelegate(std::shared_ptr<AppDelegate> delegate) {
    std::lock_guard lock(fieldsMutex);
    appDelegate = std::move(delegate);
}

void LumsiftForAperture::setSupportContact(std::string contact) {
    std::lock_guard lock(fieldsMutex);
    supportContact = std::move(contact);
}

std::vector<ImageVersion> LumsiftForAperture::getSelection() {
    return photoApplication->selection();
}

int64_t LumsiftForAperture::selectionCount() {
    if (!photoApplication->isRunning())
        return 0;
    try {
        return static_cast<int64_t>(photoApplication->selection().size());
    } catch (const scripting::ScriptingError& error) {
        // Asked at every activation: a library that cannot answer now reads as none, without an
        // alert; the next activation asks again.
        log::line("LumsiftForAperture selectionCount: " + error.name() + ": " + error.reason());
        return 0;
    }
}

std::optional<std::string> LumsiftForAperture::imageFileName(const ImageVersion& image) {
    return image.otherTagValue("FileName");
}

bool LumsiftForAperture::photoApplicationIsRunning() {
    return photoApplication->isRunning();
}

bool LumsiftForAperture::photoOnline(const ImageVersion& image) {
    return image.online();
}

std::string LumsiftForAperture::getVersion() {
    return photoApplication->version();
}

bool LumsiftForAperture::versionCheck(bool /*report*/) {
    std::string version;
    try {
        version = getVersion();
    } catch (const scripting::ScriptingError& error) {
        if (auto d = delegate())
            d->showAlert("A serious error has occurred in retrieving the current Aperture "
                         "version number.\n" +
                             error.name() + "\n" + error.reason(),
                         "Error");
        return true;
    }
    log::line("Aperture Version " + version);

    // The integer value of the text before the first ".": leading digits, 0 when there are none.
    const std::string major = version.substr(0, version.find('.'));
    if (std::strtol(major.c_str(), nullptr, 10) != 3) {
        if (auto d = delegate())
            d->showAlert("This version of Lumsift is compatible with Aperture Versions 3.x.y only.",
                         "Unsupported Version");
        return true;
    }
    return false;
}

// --- Properties ---

std::optional<std::string> LumsiftForAperture::apertureLibrary() const {
    std::lock_guard lock(fieldsMutex);
    return _apertureLibrary;
}

void LumsiftForAperture::setApertureLibrary(std::optional<std::string> path) {
    std::lock_guard lock(fieldsMutex);
    _apertureLibrary = std::move(path);
}

void LumsiftForAperture::setPowerAssertions(std::shared_ptr<PowerAssertions> power) {
    std::lock_guard lock(fieldsMutex);
    powerAssertions = std::move(power);
}

void LumsiftForAperture::setUserNotifications(std::shared_ptr<UserNotifications> notifications) {
    std::lock_guard lock(fieldsMutex);
    userNotifications = std::move(notifications);
}

// --- Reports ---

void LumsiftForAperture::post(std::function<void()> work) {
    mainThread().post(std::move(work));
}

std::shared_ptr<LoadingPage> LumsiftForAperture::loadingPage() const {
    std::lock_guard lock(fieldsMutex);
    return dataView;
}

std::shared_ptr<AppDelegate> LumsiftForAperture::delegate() const {
    std::lock_guard lock(fieldsMutex);
    return appDelegate;
}

void LumsiftForAperture::postToDataView(std::function<void(LoadingPage&)> report) {
    auto page = loadingPage();
    if (!page)
        return;
    post([page = std::move(page), report = std::move(report)] { report(*page); });
}

void LumsiftForAperture::postToDelegate(std::function<void(AppDelegate&)> report) {
    auto d = delegate();
    if (!d)
        return;
    post([d = std::move(d), report = std::move(report)] { report(*d); });
}

void LumsiftForAperture::postToResults(const std::shared_ptr<ResultsPage>& page,
                                       std::function<void(ResultsPage&)> report) {
    if (!page)
        return;
    post([page, report = std::move(report)] { report(*page); });
}

void LumsiftForAperture::setText(TextField* field, const std::string& text) {
    if (field)
        field->setStringValue(text);
}

int32_t LumsiftForAperture::dataViewSelectedAlgorithm() const {
    const auto page = loadingPage();
    return page ? page->selectedAlgorithm() : 0;
}

} // namespace lumsift
