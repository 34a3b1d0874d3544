// The crash report window for one crash log: the user describes what led to the crash and sends
// the report, ignores the log for now, or discards it. Sending posts the log with the comments,
// the e-mail address, machine facts and application facts as a multipart form, and shows the
// outcome in a sheet. Main thread only.
#pragma once

#include "Shared Code/GenerateFormData.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;
namespace Ui {
class KTWCrashReporterWindow;
}

namespace lumsift {

// The crash reporter's visible texts: looks `text` (English, the key and the fallback) up in the
// "KTWCrashReporter" translation context. Also used by the interface file.
QString ktwTr(const char* text, const char* disambiguation = nullptr);

// An error reported to the user: its domain, code and localized description.
struct KTWError {
    QString domain;
    int code = 0;
    QString localizedDescription;
};

// Must be owned by a std::shared_ptr (it hands out references to itself while its window is open
// and while a submission runs). Needs a QApplication.
class KTWCrashReporterWindowController
    : public QObject,
      public std::enable_shared_from_this<KTWCrashReporterWindowController> {
    Q_OBJECT

public:
    // Registers true for `KTWCrashReporterIncludeAnonymousSystemInformation` and
    // `KTWCrashReporterIncludeEmailAddress`, once per process; the constructor calls it.
    static void initialize();

    // Opens a report window for the log at `crashLogPath` (copied), to be posted to
    // `submissionURL`, centred and in front, and returns at once; the controller keeps itself
    // alive until its window is closed. Throws InvalidParameterException "nil != crashLogPath" for
    // a null path, "nil != submissionURL" for an empty or invalid URL.
    static void showWindowForCrashLogPath(const QString& crashLogPath, const QUrl& submissionURL);

    // `init`: the window is loaded from the interface file on the first call of window().
    KTWCrashReporterWindowController();
    ~KTWCrashReporterWindowController() override;

    // The report window, loaded (and prepared by windowDidLoad) on the first call; owned by the
    // controller. Its windowFilePath() is the crash log's path.
    QWidget* window();

    const std::optional<QString>& emailAddress() const { return emailAddress_; }
    void setEmailAddress(std::optional<QString> emailAddress) {
        emailAddress_ = std::move(emailAddress);
    }
    const QString& crashLogPath() const { return crashLogPath_; }
    void setCrashLogPath(const QString& crashLogPath) { crashLogPath_ = crashLogPath; }
    const QUrl& submissionURL() const { return submissionURL_; }
    void setSubmissionURL(const QUrl& submissionURL) { submissionURL_ = submissionURL; }
    // How long the submission may go without moving a byte before it ends in the failure sheet:
    // 60 s unless set (tests shorten it).
    std::chrono::milliseconds transferTimeout() const { return transferTimeout_; }
    void setTransferTimeout(std::chrono::milliseconds timeout) { transferTimeout_ = timeout; }
    const std::shared_ptr<KTWCrashReporterWindowController>& self_reference() const {
        return self_reference_;
    }
    void setSelf_reference(std::shared_ptr<KTWCrashReporterWindowController> self) {
        self_reference_ = std::move(self);
    }

    // Outlets; null before the window is loaded.
    QPlainTextEdit* commentsTextView() const { return commentsTextView_; }
    QPushButton* reportButton() const { return reportButton_; }
    QPushButton* discardButton() const { return discardButton_; }
    QPushButton* ignoreButton() const { return ignoreButton_; }
    QProgressBar* progressIndicator() const { return progressIndicator_; }

    // Title, e-mail address (from $EMAIL), comments font and placeholder.
    void windowDidLoad();
    // The window is closing: drops the controller's reference to itself.
    void windowWillClose();

    // Actions of the three buttons; `sender` is not used.
    void sendReport(QObject* sender);
    // Hides the window; the log and the last-report date stay as they are.
    void ignoreReport(QObject* sender);
    // Moves the log to the Trash (a failure is logged) and hides the window.
    void discardReport(QObject* sender);

    // Info.plist's "ValidatedTitle"; empty when it has none.
    QString applicationName() const;

    // The report's fields as they are at this moment (user defaults, comments, e-mail address,
    // machine and application facts, date).
    KTWFormValues crashReportForm() const;
    // Posts the report and disables the buttons; the answer arrives through the connection
    // operations below, on the main thread.
    void sendCrashReport();

    void showSubmissionSucceededSheet();
    // `error` is borrowed and must not be null (throws InvalidParameterException
    // "nil != error").
    void showSubmissionFailedSheet(const KTWError* error);
    // Hides the window.
    void showSubmissionSheetDidEnd(int returnCode);

    // Key commands of the comments view: Tab and Shift-Tab move the focus to the next or previous
    // control and answer true (handled); any other command answers false.
    enum class TextCommand { insertTab, insertBacktab, other };
    bool textView_doCommandBySelector(QPlainTextEdit* textView, TextCommand command);

    // The submission's answer. A response starts the answer afresh; data is appended, no more
    // than a small limit of it (a longer answer is a failure and its transfer is stopped); when the
    // answer is complete it counts as success exactly when it is "ok\n". A transfer that moves no
    // byte for transferTimeout() fails with "The request timed out.".
    void connection_didReceiveResponse();
    void connection_didReceiveData(const QByteArray& data);
    void connectionDidFinishLoading();
    void connection_didFailWithError(const KTWError& error);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectionEnded(QNetworkReply* reply);
    void stopProgressAndShowSheet(const QString& title, const QString& message);

    QPointer<QNetworkReply> _urlConnection;
    std::optional<QByteArray> _responseData;
    std::optional<QString> emailAddress_;
    QString crashLogPath_;
    QUrl submissionURL_;
    QPointer<QPlainTextEdit> commentsTextView_;
    QPointer<QPushButton> reportButton_;
    QPointer<QPushButton> discardButton_;
    QPointer<QPushButton> ignoreButton_;
    QPointer<QProgressBar> progressIndicator_;
    std::shared_ptr<KTWCrashReporterWindowController> self_reference_;
    std::chrono::milliseconds transferTimeout_{std::chrono::seconds(60)};

    std::unique_ptr<Ui::KTWCrashReporterWindow> ui_;
    std::unique_ptr<QWidget> window_;
    QNetworkAccessManager* network_ = nullptr; // child of this object
    // Held while a submission runs, so the controller outlives its window if need be.
    std::shared_ptr<KTWCrashReporterWindowController> connectionKeepAlive_;
};

} // namespace lumsift
