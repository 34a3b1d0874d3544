// The application delegate: start-up order, wizard, alerts and the read-access prompt.
#include "app/LumsiftAppDelegate.h"

#include "Shared Code/KTWCrashReporter.h"
#include "Shared Code/KTWExceptions.h"
#include "app/OpenPanel.h"
#include "app/QtMainThread.h"
#include "app/WebPages.h"
#include "install/MoveToApplicationsFolder.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"

#include <QFont>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>

#include <filesystem>

namespace lumsift::app {
namespace {

constexpr const char* kSkipStartScreenKey = "SKIPSTARTSCREEN";
constexpr unsigned kFollowSize = kViewWidthSizable | kViewHeightSizable; // 18

constexpr const char* kFirstPromptMessage =
    "Lumsift Requires read access to %@.\nPlease select it or it's parent folder and hit the "
    "Open button.";
constexpr const char* kLaterPromptMessage =
    "Lumsift Requires read access to %@.\nThis is due to externally referenced images in your "
    "library.  To avoid being asked again please select the parent folder for all your "
    "externally referenced pictures.";

// False when the process starts; start-up copies SKIPSTARTSCREEN into it.
std::atomic<bool> processSkipStartScreen{false};

// Our own format with its one "%@" filled by `value` (never read as a format itself).
std::string fillPlaceholder(std::string_view format, std::string_view value) {
    std::string text(format);
    if (const auto at = text.find("%@"); at != std::string::npos)
        text.replace(at, 2, value);
    return text;
}

// A warning box on `window` (borrowed; window-modal there, else application-modal) that deletes
// itself when closed: `title` is its bold first line, `message` the text below it. Both stay
// plain text: a message may hold a file name.
QMessageBox* warningBox(QWidget* window, const QString& title, const QString& message) {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setTextFormat(Qt::PlainText);
    box->setText(title);
    box->setInformativeText(message);
    if (auto* informative = box->findChild<QLabel*>("qt_msgbox_informativelabel"))
        informative->setTextFormat(Qt::PlainText);
    // The box shows its text in the ordinary weight here.
    if (auto* first = box->findChild<QLabel*>("qt_msgbox_label")) {
        QFont bold = first->font();
        bold.setBold(true);
        first->setFont(bold);
    }
    box->setWindowModality(window != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    return box;
}

} // namespace

bool LumsiftAppDelegate::skipStartScreen() {
    return processSkipStartScreen.load();
}

void LumsiftAppDelegate::setSkipStartScreen(bool skip) {
    processSkipStartScreen.store(skip);
    UserDefaults::standard().setBool(skip, kSkipStartScreenKey);
}

void LumsiftAppDelegate::applicationDidFinishLaunching() {
    // Crash check and move offer come first. A crash check that raises (no submission address,
    // or one that is no URL) costs the report window, never the launch: ending the process here
    // would leave a crash log that ends the next launch the same way.
    try {
        KTWCrashReporter::checkForNewCrashes();
    } catch (const NamedException& e) {
        log::line("KTWCrashReporter error: " + e.name() + ": " + e.reason());
    } catch (const std::exception& e) {
        log::line(std::string("KTWCrashReporter error: ") + e.what());
    }
    OfferMoveToApplicationsFolder();

    // The engine holds the delegate before any page exists: making the loading page starts a
    // load, which reports to the delegate through the engine.
    lumsiftForAperture_ = &LumsiftForAperture::sharedLumsiftForAperture();
    lumsiftForAperture_->setAppDelegate(shared_from_this());
    lumsiftForAperture_->setSupportContact(addressText(webPage(Bundle::main(), kSupportPageKey)));

    const bool skip = UserDefaults::standard().boolForKey(kSkipStartScreenKey);
    processSkipStartScreen.store(skip);

    ViewController* first =
        skip ? loadingDataViewController_.data() : startScreenViewController_.data();
    if (first != nullptr) {
        QWidget* view = first->view(); // with skip, wakes the loading page: its load starts
        currentViewController_ = first;
        if (nextButton_)
            nextButton_->setText(skip ? "Detect Similars" : "Load Library");
        showPageView(view);
    }
    // The notification service shows notifications while we are in front too, which is what
    // userNotificationCenterShouldPresentNotification answers: nothing to install.
}

void LumsiftAppDelegate::applicationDidBecomeActive() {
    if (lumsiftForAperture_ == nullptr || !selectedLabel_)
        return;
    const int64_t count = lumsiftForAperture_->selectionCount();
    selectedLabel_->setText(QString::number(count));
}

void LumsiftAppDelegate::nextView() {
    if (ContentView* content = box_ ? box_->contentView() : nullptr) {
        const std::vector<QWidget*> subviews = content->subviews();
        if (subviews.size() > 1)
            removeFromSuperview(subviews[1]);
    }

    // The loading page leads to the results page; the start and results pages to the loading
    // page. The title names what the button leads to from there.
    const bool fromLoading = currentViewController_ != nullptr &&
                             currentViewController_.data() == loadingDataViewController_.data();
    ViewController* next =
        fromLoading ? resultsViewController_.data() : loadingDataViewController_.data();
    if (nextButton_)
        nextButton_->setText(fromLoading ? "Library Analysis" : "Detect Similars");
    if (next == nullptr)
        return;
    QWidget* view = next->view();
    currentViewController_ = next;
    showPageView(view);
}

void LumsiftAppDelegate::showPageView(QWidget* view) {
    ContentView* content = box_ ? box_->contentView() : nullptr;
    if (content == nullptr || view == nullptr)
        return;
    setFrame(view, bounds(content));
    setAutoresizingMask(view, kFollowSize);
    content->addSubview(view);
}

void LumsiftAppDelegate::enableNextView() {
    if (nextButton_)
        nextButton_->setEnabled(true);
}

void LumsiftAppDelegate::disableNextView() {
    if (nextButton_)
        nextButton_->setEnabled(false);
}

void LumsiftAppDelegate::showAlert(const std::string& message, const std::string& title) {
    Alert alert;
    alert.buttons.push_back("OK");
    alert.messageText = title;
    alert.informativeText = message;
    // Keeps the delegate alive until the sheet is up.
    QtMainThread().runAndWait([self = shared_from_this(), alert] { self->doAlertSheet(alert); });
}

void LumsiftAppDelegate::doAlertSheet(const Alert& alert) {
    QMessageBox* box = warningBox(window_.data(), QString::fromStdString(alert.messageText),
                                  QString::fromStdString(alert.informativeText));
    for (const std::string& button : alert.buttons)
        box->addButton(QString::fromStdString(button), QMessageBox::AcceptRole);
    box->open();
}

void LumsiftAppDelegate::userSelectedFiles(const std::string& path) {
    std::filesystem::path item(path);
    if (!item.has_filename() && item.has_parent_path())
        item = item.parent_path(); // "Lib.aplibrary/"
    const std::string name = item.filename().string();

    OpenPanel panel;
    panel.setCanChooseFiles(true);
    panel.setCanChooseDirectories(true);
    panel.setTitle("Read Access Required");
    panel.setDirectoryURL(item.parent_path());
    panel.setMessage(fillPlaceholder(
        userSelectedFilesCount_.load() == 0 ? kFirstPromptMessage : kLaterPromptMessage, name));
    panel.setParentWindow(window_.data());

    // Here choosing an item grants no access, so a prompt the user cancels must end: the file
    // then stays unreadable and the caller goes on without it.
    const int result = panel.runModal();
    if (result != OpenPanel::kResponseOK) {
        log::line("NSOpenPanel result = " + std::to_string(result));
        return;
    }
    userSelectedFilesCount_.fetch_add(1);
}

bool LumsiftAppDelegate::windowShouldClose() {
    if (lumsiftForAperture_ == nullptr || !lumsiftForAperture_->runUnderway())
        return true;
    if (!closingAfterRun_ && !stopQuestion_)
        askToStopRun();
    return false;
}

void LumsiftAppDelegate::askToStopRun() {
    QMessageBox* box = warningBox(
        window_.data(), QStringLiteral("Lumsift is still working."),
        QStringLiteral(
            "Quitting now stops the analysis or search after the image it is working on."));
    QPushButton* stop = box->addButton(QStringLiteral("Stop and Quit"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Continue"), QMessageBox::RejectRole);
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [weak = weak_from_this(), stop](QAbstractButton* chosen) {
                         const auto self = weak.lock();
                         if (self && chosen == stop)
                             self->stopRunAndClose();
                     });
    stopQuestion_ = box;
    box->open();
}

void LumsiftAppDelegate::stopRunAndClose() {
    closingAfterRun_ = true;
    if (lumsiftForAperture_ != nullptr)
        lumsiftForAperture_->requestStop();
    if (window_ == nullptr)
        return;
    // Nothing new may start while the run winds down.
    if (QWidget* content = window_->centralWidget())
        content->setEnabled(false);
    auto* poll = new QTimer(window_.data());
    QObject::connect(poll, &QTimer::timeout, poll, [weak = weak_from_this(), poll] {
        const auto self = weak.lock();
        if (!self || (self->lumsiftForAperture_ && self->lumsiftForAperture_->runUnderway()))
            return;
        poll->stop();
        poll->deleteLater();
        if (self->window_)
            self->window_->close();
    });
    poll->start(20);
}

void LumsiftAppDelegate::moreInfoButton() {
    openWebPage(webPage(Bundle::main(), kProductPageKey));
}

void LumsiftAppDelegate::lumsiftWebpage() {
    moreInfoButton();
}

void LumsiftAppDelegate::techSupport() {
    openWebPage(webPage(Bundle::main(), kSupportPageKey));
}

void LumsiftAppDelegate::openWebPage(const QUrl& page) {
    // The user asked for it: a page that does not open is shown, not only logged.
    if (!openThroughDesktop(page))
        showAlert("Lumsift could not open " + addressText(page) + ".", "ERROR");
}

} // namespace lumsift::app
