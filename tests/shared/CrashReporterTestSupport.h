// Helpers of the crash reporter's tests: a scratch folder, the application object, a bundle whose
// Info.plist the test writes, and a small HTTP server on 127.0.0.1 that answers as a test scripts.
#pragma once

#include "Shared Code/KTWExceptions.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/folders/LibraryFolders.h"
#include "platform/plist/Plist.h"

#include <QApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>

namespace lumsift::test {

namespace fs = std::filesystem;

// A fresh folder below the temporary directory, removed with everything in it when destroyed.
struct ScratchFolder {
    std::string pattern = (fs::temp_directory_path() / "ktw-XXXXXX").string();
    const fs::path path = ::mkdtemp(pattern.data());
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

inline void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// The application object of one test; closes every window before it goes.
struct Application {
    int argc = 1;
    char name[16] = "shared_tests";
    char* argv[2] = {name, nullptr};
    QApplication app{argc, argv};
    ~Application() {
        for (QWidget* window : QApplication::topLevelWidgets())
            window->close();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

// Answers each request, once its body has arrived, with `pieces` written 50 ms apart (so the
// client receives them apart); no pieces drop the connection. Records the requests.
class TestHttpServer {
public:
    explicit TestHttpServer(std::vector<QByteArray> pieces) : pieces_(std::move(pieces)) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { accept(); });
    }
    // A response with `status` and the body `answer`, in one piece.
    static std::vector<QByteArray> answer(const QByteArray& answer, int status = 200) {
        return {"HTTP/1.1 " + QByteArray::number(status) +
                " Status\r\nContent-Type: text/plain\r\nContent-Length: " +
                QByteArray::number(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer};
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/submit";
    }
    std::vector<QByteArray> requests;

private:
    void accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            socket->setParent(&server_);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                // Complete once it holds the headers and as many bytes as Content-Length says.
                buffer_ += socket->readAll();
                const auto end = buffer_.indexOf("\r\n\r\n");
                const auto headers = buffer_.left(end).toLower();
                const auto at = headers.indexOf("content-length:");
                if (end < 0 || at < 0 ||
                    buffer_.size() < end + 4 + headers.mid(at + 15).split('\r')[0].toLongLong())
                    return;
                requests.push_back(std::exchange(buffer_, {}));
                respond(socket, 0);
            });
        }
    }
    void respond(QTcpSocket* socket, std::size_t next) {
        if (pieces_.empty())
            return socket->abort();
        socket->write(pieces_[next]);
        socket->flush();
        if (next + 1 == pieces_.size())
            return socket->disconnectFromHost();
        QTimer::singleShot(50, socket, [this, socket, next] { respond(socket, next + 1); });
    }

    QTcpServer server_;
    std::vector<QByteArray> pieces_;
    QByteArray buffer_;
};

// The condition of the InvalidParameterException that `call` throws; "none" when it throws none.
template <typename Call> std::string brokenCondition(Call call) {
    try {
        call();
    } catch (const InvalidParameterException& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid parameter not satisfying: " + e.condition());
        return e.condition();
    }
    return "none";
}

// A user Library, a machine Library, a bundle and user defaults of the test's own.
class CrashReporterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (makeApplicationAtSetUp)
            app = std::make_unique<Application>();
        setenv("XDG_DATA_HOME", userLibrary.c_str(), 1);
        folders::setLocalLibraryDirectoryForTesting(scratch.path / "machine");
        UserDefaults::useFileForTesting(scratch.path / "defaults.ini");
        useBundle();
    }
    // Makes a bundle with the usual keys the main one; `changes` sets keys, or removes them when
    // empty.
    void useBundle(const std::map<std::string, std::string>& changes = {}) {
        std::map<std::string, std::string> keys = {
            {"CFBundleName", "Lumsift"},
            {"ValidatedTitle", "Lumsift"},
            {"CFBundleIdentifier", "com.example.lumsift"},
            {"CFBundleVersion", "42"},
            {"CFBundleShortVersionString", "1.2"},
            {"KTWCrashReporterCrashSubmissionURL", "http://127.0.0.1:9/submit"}};
        for (const auto& [key, value] : changes)
            value.empty() ? void(keys.erase(key)) : void(keys[key] = value);
        plist::Plist info(plist_new_dict());
        for (const auto& [key, value] : keys)
            plist_dict_set_item(info.get(), key.c_str(), plist_new_string(value.c_str()));
        const fs::path folder = scratch.path / "bundle";
        writeFile(folder / "Info.plist", info.toXml());
        Bundle::setMainForTesting(folder, folder / "Lumsift", folder / "Info.plist", folder);
    }
    // Writes a log, its path relative to the user's crash-log folder, modified at `date` to the
    // nanosecond.
    fs::path writeLog(const fs::path& relativePath, UserDefaults::Date date) {
        const auto path = userLogs / relativePath;
        writeFile(path, "Exception Type: SIGSEGV\n");
        const auto ns = std::chrono::nanoseconds(date.time_since_epoch()).count();
        const timespec time{ns / 1000000000, ns % 1000000000}, times[2] = {time, time};
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
        return path;
    }
    static void setLastReportDate(UserDefaults::Date date) {
        UserDefaults::standard().setDate(date, "KTWCrashReporterLastCrashReportDate");
    }
    static std::optional<UserDefaults::Date> lastReportDate() {
        return UserDefaults::standard().dateForKey("KTWCrashReporterLastCrashReportDate");
    }
    // The crash-log paths of the report windows on screen.
    static std::vector<std::string> reportWindows() {
        std::vector<std::string> paths;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == "KTWCrashReporterWindow" && widget->isVisible())
                paths.push_back(widget->windowFilePath().toStdString());
        }
        return paths;
    }

    ScratchFolder scratch;
    const fs::path userLibrary = scratch.path / "user";
    const fs::path userLogs = userLibrary / "Logs/DiagnosticReports";
    const fs::path machineLogs = scratch.path / "machine/Logs/DiagnosticReports";
    bool makeApplicationAtSetUp = true;
    std::unique_ptr<Application> app;
};

} // namespace lumsift::test
