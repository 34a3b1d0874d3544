// The crash report window and the report's submission.
#include "Shared Code/KTWCrashReporterWindowController.h"

#include "Shared Code/KTWCrashReporter.h"
#include "Shared Code/KTWExceptions.h"
#include "Shared Code/KTWSystemInformation.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"

#include "ui_KTWCrashReporterWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <sys/stat.h>

namespace lumsift {
namespace {

constexpr const char* kIncludeSystemInformationKey =
    "KTWCrashReporterIncludeAnonymousSystemInformation";
constexpr const char* kIncludeEmailAddressKey = "KTWCrashReporterIncludeEmailAddress";
constexpr const char* kPreferredReportingLocaleKey = "KTWCrashReporterPreferredReportingLocale";
constexpr std::string_view kBoundary = "81e29ba4f957efe5916039f587fe3ed7";
// The most of the server's answer that is kept: success is the three bytes "ok\n", so a longer
// answer is a failure whatever it holds, and the rest of it is not read.
constexpr qsizetype kAnswerLimit = 1024;

std::optional<QString> infoString(const char* key) {
    const auto value = Bundle::main().infoString(key);
    if (!value)
        return std::nullopt;
    return QString::fromStdString(*value);
}

// Puts `args` in place of the "%@" markers of `format`, in order. The arguments are never read
// as a format themselves.
QString fill(const QString& format, std::initializer_list<QString> args) {
    QString text;
    auto arg = args.begin();
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size() && format[i + 1] == u'@' &&
            arg != args.end()) {
            text += *arg++;
            ++i;
            continue;
        }
        text += format[i];
    }
    return text;
}

// The user's own e-mail address; none when $EMAIL is unset or empty.
std::optional<QString> userEmailAddress() {
    const char* email = std::getenv("EMAIL");
    if (email == nullptr || *email == '\0')
        return std::nullopt;
    return QString::fromLocal8Bit(email);
}

// The current date and time in the medium date and time styles of the report's locale.
QString reportDate() {
    const auto localeID = crashReporterSetting(kPreferredReportingLocaleKey);
    const icu::Locale locale(localeID.value_or("en_US").c_str());
    const std::unique_ptr<icu::DateFormat> formatter(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kMedium, icu::DateFormat::kMedium, locale));
    if (!formatter)
        return {};
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    icu::UnicodeString text;
    formatter->format(static_cast<UDate>(now.count()), text);
    std::string utf8;
    text.toUTF8String(utf8);
    return QString::fromStdString(utf8);
}

void addIfKnown(KTWFormValues& form, const char* field, const std::optional<std::string>& fact) {
    if (fact)
        form.insert(field, QString::fromStdString(*fact));
}
void addIfKnown(KTWFormValues& form, const char* field, std::optional<int64_t> fact) {
    if (fact)
        form.insert(field, static_cast<qlonglong>(*fact));
}
void addIfKnown(KTWFormValues& form, const char* field, std::optional<int32_t> fact) {
    if (fact)
        form.insert(field, static_cast<int>(*fact));
}
void addIfKnown(KTWFormValues& form, const char* field, const std::optional<QString>& fact) {
    if (fact)
        form.insert(field, *fact);
}

// The next (or previous) control of the window that takes the focus by Tab.
QWidget* nextKeyView(QWidget* from, bool forward) {
    QWidget* candidate = from;
    while (true) {
        candidate = forward ? candidate->nextInFocusChain() : candidate->previousInFocusChain();
        if (candidate == nullptr || candidate == from)
            return nullptr;
        if (candidate->window() == from->window() && candidate->isEnabled() &&
            candidate->isVisible() && (candidate->focusPolicy() & Qt::TabFocus) != 0)
            return candidate;
    }
}

// A reply that got an HTTP answer completed the exchange, whatever the status; only transport
// and proxy errors (below 200) mean that the connection failed.
bool connectionFailed(const QNetworkReply& reply) {
    const auto error = reply.error();
    if (error == QNetworkReply::NoError)
        return false;
    const bool answered = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    return !answered || error < QNetworkReply::ContentAccessDenied;
}

// Controllers waiting to be dropped. Never destroyed itself: at exit a controller still held here
// is left alone rather than destroyed after the application object.
std::vector<std::shared_ptr<KTWCrashReporterWindowController>>& releasing() {
    static auto* pending = new std::vector<std::shared_ptr<KTWCrashReporterWindowController>>();
    return *pending;
}

void releasePending() {
    auto pending = std::move(releasing());
    releasing().clear();
}

// Drops `controller` in a later turn of the event loop, so that the last reference never goes
// away inside one of the controller's own calls. The queued call owns nothing: a controller
// destroyed while the application object tears down its queued events would wait for the lock
// that teardown holds. When the event loop ends first, the controllers go as it ends.
void releaseLater(std::shared_ptr<KTWCrashReporterWindowController> controller) {
    if (!controller)
        return;
    releasing().push_back(std::move(controller));
    QCoreApplication* app = QCoreApplication::instance();
    static QPointer<QCoreApplication> hooked;
    if (hooked != app) {
        hooked = app;
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, releasePending);
    }
    QMetaObject::invokeMethod(app, releasePending, Qt::QueuedConnection);
}

} // namespace

QString ktwTr(const char* text, const char* disambiguation) {
    return QCoreApplication::translate("KTWCrashReporter", text, disambiguation);
}

void KTWCrashReporterWindowController::initialize() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        UserDefaults::standard().registerDefaults({
            {kIncludeSystemInformationKey, true},
            {kIncludeEmailAddressKey, true},
        });
    });
}

void KTWCrashReporterWindowController::showWindowForCrashLogPath(const QString& crashLogPath,
                                                                 const QUrl& submissionURL) {
    requireParameter(!crashLogPath.isNull(), "nil != crashLogPath");
    requireParameter(submissionURL.isValid() && !submissionURL.isEmpty(), "nil != submissionURL");

    auto controller = std::make_shared<KTWCrashReporterWindowController>();
    controller->setCrashLogPath(crashLogPath);
    controller->setSubmissionURL(submissionURL);

    QWidget* window = controller->window();
    window->adjustSize();
    if (const QScreen* screen = window->screen(); screen != nullptr)
        window->move(screen->availableGeometry().center() - window->rect().center());
    window->show();
    window->raise();
    window->activateWindow();

    controller->setSelf_reference(controller);
}

KTWCrashReporterWindowController::KTWCrashReporterWindowController() {
    initialize();
    network_ = new QNetworkAccessManager(this);
}

// The window goes first, and its views no longer pass their events through this controller's
// filter: while a view is taken apart it is no longer a text view, and this controller is being
// destroyed too.
KTWCrashReporterWindowController::~KTWCrashReporterWindowController() {
    if (!window_)
        return;
    window_->removeEventFilter(this);
    commentsTextView_->removeEventFilter(this);
    window_.reset();
}

QWidget* KTWCrashReporterWindowController::window() {
    if (window_)
        return window_.get();
    window_ = std::make_unique<QWidget>();
    ui_ = std::make_unique<Ui::KTWCrashReporterWindow>();
    ui_->setupUi(window_.get());
    commentsTextView_ = ui_->commentsTextView;
    reportButton_ = ui_->reportButton;
    discardButton_ = ui_->discardButton;
    ignoreButton_ = ui_->ignoreButton;
    progressIndicator_ = ui_->progressIndicator;
    progressIndicator_->hide();
    window_->setWindowFilePath(crashLogPath_);

    connect(reportButton_, &QPushButton::clicked, this, [this] { sendReport(reportButton_); });
    connect(ignoreButton_, &QPushButton::clicked, this, [this] { ignoreReport(ignoreButton_); });
    connect(discardButton_, &QPushButton::clicked, this, [this] { discardReport(discardButton_); });
    window_->installEventFilter(this);
    commentsTextView_->installEventFilter(this);

    windowDidLoad();
    return window_.get();
}

void KTWCrashReporterWindowController::windowDidLoad() {
    const QString name = applicationName();
    if (const auto version = infoString("CFBundleShortVersionString"))
        window_->setWindowTitle(fill(ktwTr("Crash Reporter: %@ (%@)"), {name, *version}));
    else
        window_->setWindowTitle(fill(ktwTr("Crash Reporter: %@"), {name}));

    emailAddress_ = userEmailAddress();

    // Typed text is set in the system font at 10 points.
    QFont font = QApplication::font();
    font.setPointSizeF(10.0);
    commentsTextView_->setFont(font);

    commentsTextView_->setPlaceholderText(
        ktwTr("Please enter a description of the actions leading up to the crash."));
}

void KTWCrashReporterWindowController::windowWillClose() {
    releaseLater(std::move(self_reference_));
}

bool KTWCrashReporterWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get() && event->type() == QEvent::Close) {
        windowWillClose();
        return false;
    }
    if (event->type() == QEvent::KeyPress && watched == commentsTextView_.data()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (key->key() == Qt::Key_Tab && plain)
            return textView_doCommandBySelector(commentsTextView_, TextCommand::insertTab);
        if (key->key() == Qt::Key_Backtab)
            return textView_doCommandBySelector(commentsTextView_, TextCommand::insertBacktab);
    }
    return QObject::eventFilter(watched, event);
}

bool KTWCrashReporterWindowController::textView_doCommandBySelector(QPlainTextEdit* textView,
                                                                    TextCommand command) {
    if (command == TextCommand::other || textView == nullptr)
        return false;
    const bool forward = command == TextCommand::insertTab;
    if (QWidget* next = nextKeyView(textView, forward))
        next->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void KTWCrashReporterWindowController::sendReport(QObject* /*sender*/) {
    sendCrashReport();
}

void KTWCrashReporterWindowController::ignoreReport(QObject* /*sender*/) {
    window()->hide();
}

void KTWCrashReporterWindowController::discardReport(QObject* /*sender*/) {
    const std::string path = crashLogPath_.toStdString();
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        log::line("KTWCrashReporter: Unable to create FSRef for file " + path);
    } else if (QFile file(crashLogPath_); !file.moveToTrash()) {
        log::line("KTWCrashReporter: Unable to move " + path +
                  " to trash: " + std::to_string(static_cast<int>(file.error())));
    }
    window()->hide();
}

QString KTWCrashReporterWindowController::applicationName() const {
    return infoString("ValidatedTitle").value_or(QString());
}

KTWFormValues KTWCrashReporterWindowController::crashReportForm() const {
    const UserDefaults& defaults = UserDefaults::standard();
    KTWFormValues form;

    const bool includeSystemInformation = defaults.boolForKey(kIncludeSystemInformationKey);
    if (includeSystemInformation) {
        const KTWSystemInformation info;
        addIfKnown(form, "machine", info.machine());
        addIfKnown(form, "model", info.model());
        addIfKnown(form, "physicalMemory", info.physicalMemory());
        addIfKnown(form, "busFrequency", info.busFrequency());
        addIfKnown(form, "CPUFrequency", info.CPUFrequency());
        addIfKnown(form, "CPUFamily", info.CPUFamily());
        addIfKnown(form, "CPUType", info.CPUType());
        addIfKnown(form, "CPUSubtype", info.CPUSubtype());
        addIfKnown(form, "numberOfCPUs", info.numberOfCPUs());
        addIfKnown(form, "physicalCPUs", info.physicalCPUs());
        addIfKnown(form, "logicalCPUs", info.logicalCPUs());
        addIfKnown(form, "systemVersion", info.systemVersion());
        addIfKnown(form, "systemBuildVersion", info.systemBuildVersion());
    }
    form.insert("systemInformationIncluded", includeSystemInformation);

    if (defaults.boolForKey(kIncludeEmailAddressKey))
        addIfKnown(form, "emailAddress", emailAddress_);

    // Any text counts, spaces alone included.
    if (commentsTextView_ != nullptr && !commentsTextView_->toPlainText().isEmpty())
        form.insert("comments", commentsTextView_->toPlainText());

    form.insert("crashLog", QUrl::fromLocalFile(crashLogPath_));
    addIfKnown(form, "applicationName", infoString("ValidatedTitle"));
    addIfKnown(form, "applicationIdentifier", infoString("CFBundleIdentifier"));
    addIfKnown(form, "applicationVersion", infoString("CFBundleVersion"));
    addIfKnown(form, "applicationShortVersion", infoString("CFBundleShortVersionString"));
    // The moment of sending, not of the crash.
    form.insert("date", reportDate());
    return form;
}

void KTWCrashReporterWindowController::sendCrashReport() {
    const KTWFormValues form = crashReportForm();
    const QByteArray body = GenerateFormData(&form, kBoundary);

    QNetworkRequest request(submissionURL_);
    request.setRawHeader("Content-Type",
                         "multipart/form-data; boundary=" + QByteArray(kBoundary.data()));
    request.setRawHeader("User-Agent", "KTWCrashReporter");
    request.setRawHeader("Content-Length", QByteArray::number(body.size()));

    window();
    progressIndicator_->show();
    reportButton_->setEnabled(false);
    ignoreButton_->setEnabled(false);
    discardButton_->setEnabled(false);

    // A server that stops moving bytes ends the upload in the failure sheet.
    request.setTransferTimeout(static_cast<int>(transferTimeout_.count()));

    // The connection keeps its delegate until it ends, even when the window closes meanwhile.
    connectionKeepAlive_ = shared_from_this();
    QNetworkReply* reply = network_->post(request, body);
    reply->setReadBufferSize(kAnswerLimit + 1);
    _urlConnection = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this,
            [this] { connection_didReceiveResponse(); });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        connection_didReceiveData(reply->readAll());
        // Past the limit the answer is known not to be "ok\n": stop the transfer.
        if (_responseData && _responseData->size() > kAnswerLimit)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { connectionEnded(reply); });
}

void KTWCrashReporterWindowController::connectionEnded(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply->bytesAvailable() > 0)
        connection_didReceiveData(reply->readAll());
    const bool answerTooLong = _responseData && _responseData->size() > kAnswerLimit;
    if (answerTooLong || !connectionFailed(*reply)) {
        connectionDidFinishLoading();
    } else if (reply->error() == QNetworkReply::OperationCanceledError) {
        // Nothing here cancels but the transfer timeout.
        connection_didFailWithError({QStringLiteral("QNetworkReply"),
                                     static_cast<int>(reply->error()),
                                     ktwTr("The request timed out.")});
    } else {
        connection_didFailWithError({QStringLiteral("QNetworkReply"),
                                     static_cast<int>(reply->error()), reply->errorString()});
    }
    releaseLater(std::move(connectionKeepAlive_));
}

void KTWCrashReporterWindowController::connection_didReceiveResponse() {
    _responseData = QByteArray();
}

void KTWCrashReporterWindowController::connection_didReceiveData(const QByteArray& data) {
    if (!_responseData)
        _responseData = QByteArray();
    // One byte over the limit is kept, so that a longer answer never compares equal to "ok\n".
    const qsizetype room = kAnswerLimit + 1 - _responseData->size();
    if (room > 0)
        _responseData->append(data.left(room));
}

void KTWCrashReporterWindowController::connectionDidFinishLoading() {
    // Exactly the three bytes "ok\n": anything else, invalid UTF-8 included, is a failure.
    const bool succeeded = _responseData && *_responseData == "ok\n";
    _urlConnection = nullptr;
    _responseData.reset();

    if (!succeeded) {
        connection_didFailWithError({QStringLiteral("NSPOSIXErrorDomain"), 100,
                                     ktwTr("Unrecognized response from the server")});
        return;
    }

    // Later logs stay new; this one and every earlier one count as reported.
    if (const auto modified = modificationDate(crashLogPath_.toStdString()))
        UserDefaults::standard().setDate(*modified, kLastCrashReportDateKey);
    std::error_code ec;
    const std::filesystem::path path = crashLogPath_.toStdString();
    if (std::filesystem::remove_all(path, ec) == 0 && !ec)
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
    if (ec)
        log::line("KTWCrashReporter error: Unable to delete the submitted crash log (" +
                  path.filename().string() + "): " + ec.message());
    QMetaObject::invokeMethod(
        this, [this] { showSubmissionSucceededSheet(); }, Qt::QueuedConnection);
}

void KTWCrashReporterWindowController::connection_didFailWithError(const KTWError& error) {
    _urlConnection = nullptr;
    _responseData.reset();
    QMetaObject::invokeMethod(
        this, [this, error] { showSubmissionFailedSheet(&error); }, Qt::QueuedConnection);
}

void KTWCrashReporterWindowController::showSubmissionSucceededSheet() {
    stopProgressAndShowSheet(
        ktwTr("The crash report was successfully submitted."),
        fill(ktwTr("Thank you for taking the time to help improve %@!"), {applicationName()}));
}

void KTWCrashReporterWindowController::showSubmissionFailedSheet(const KTWError* error) {
    requireParameter(error != nullptr, "nil != error");
    stopProgressAndShowSheet(ktwTr("An error occurred while submitting the crash report."),
                             fill(ktwTr("The error was: %@"), {error->localizedDescription}));
}

void KTWCrashReporterWindowController::stopProgressAndShowSheet(const QString& title,
                                                                const QString& message) {
    QWidget* reportWindow = window();
    progressIndicator_->hide();
    auto* sheet = new QMessageBox(reportWindow); // owned by the window; deleted when closed
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setText(title);
    sheet->setInformativeText(message);
    sheet->setStandardButtons(QMessageBox::Ok);
    sheet->setDefaultButton(QMessageBox::Ok);
    connect(sheet, &QMessageBox::finished, this,
            [this](int result) { showSubmissionSheetDidEnd(result); });
    sheet->open();
}

void KTWCrashReporterWindowController::showSubmissionSheetDidEnd(int /*returnCode*/) {
    window()->hide();
}

} // namespace lumsift
