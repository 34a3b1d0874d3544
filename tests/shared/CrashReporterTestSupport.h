// Helpers of the crash reporter's tests: a scratch folder, a bundle with an Info.plist written
// by the test, the application object, and a small HTTP server on 127.0.0.1 that answers as a
// test scripts it.
#pragma once

#include "Shared Code/KTWExceptions.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/folders/LibraryFolders.h"
#include "platform/plist/Plist.h"

#include <QApplication>
#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace lumsift::test {

// A fresh folder below the temporary directory, removed with everything in it when destroyed.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ktw-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Makes `folder` the main bundle, its Info.plist holding the string `keys`.
inline void useBundle(const std::filesystem::path& folder,
                      const std::map<std::string, std::string>& keys) {
    plist::Plist info(plist_new_dict());
    for (const auto& [key, value] : keys)
        plist_dict_set_item(info.get(), key.c_str(), plist_new_string(value.c_str()));
    writeFile(folder / "Info.plist", info.toXml());
    Bundle::setMainForTesting(folder, folder / "Lumsift", folder / "Info.plist", folder);
}

// The usual application keys, with the submission address `url` unless it is empty.
inline std::map<std::string, std::string> applicationKeys(const std::string& url) {
    std::map<std::string, std::string> keys = {{"CFBundleName", "Lumsift"},
                                               {"ValidatedTitle", "Lumsift"},
                                               {"CFBundleIdentifier", "com.example.lumsift"},
                                               {"CFBundleVersion", "42"},
                                               {"CFBundleShortVersionString", "1.2"}};
    if (!url.empty())
        keys["KTWCrashReporterCrashSubmissionURL"] = url;
    return keys;
}

// The application object of one test; closes every window before it goes.
class Application {
public:
    Application() : app_(argc_, argv_) {}
    ~Application() {
        for (QWidget* window : QApplication::topLevelWidgets())
            window->close();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

private:
    int argc_ = 1;
    char name_[16] = "shared_tests";
    char* argv_[2] = {name_, nullptr};
    QApplication app_;
};

// Answers each request, once its body has arrived, with `pieces` written one after another (a
// short pause between them, so the client receives them apart); an empty list drops the
// connection without an answer. Records the requests as received.
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
    const std::vector<QByteArray>& requests() const { return requests_; }

private:
    void accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            socket->setParent(&server_);
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                *buffer += socket->readAll();
                if (!complete(*buffer))
                    return;
                requests_.push_back(*buffer);
                buffer->clear();
                respond(socket, 0);
            });
        }
    }
    // The headers and as many bytes as Content-Length says (the client always sends it).
    static bool complete(const QByteArray& request) {
        const auto end = request.indexOf("\r\n\r\n");
        const auto headers = request.left(end).toLower();
        const auto at = headers.indexOf("content-length:");
        return end >= 0 && at >= 0 &&
               request.size() >= end + 4 + headers.mid(at + 15).split('\r').front().toLongLong();
    }
    void respond(QTcpSocket* socket, std::size_t next) {
        if (pieces_.empty()) {
            socket->abort();
            return;
        }
        socket->write(pieces_[next]);
        socket->flush();
        if (next + 1 == pieces_.size()) {
            socket->disconnectFromHost();
            return;
        }
        QTimer::singleShot(50, socket, [this, socket, next] { respond(socket, next + 1); });
    }

    QTcpServer server_;
    std::vector<QByteArray> pieces_;
    std::vector<QByteArray> requests_;
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

// A user Library, a machine Library, a bundle and user defaults of the test's own, in a scratch
// folder; the Info.plist names `url` as the submission address unless it is empty.
class CrashReporterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (makeApplicationAtSetUp)
            app = std::make_unique<Application>();
        setenv("XDG_DATA_HOME", userLibrary().c_str(), 1);
        folders::setLocalLibraryDirectoryForTesting(machineLibrary());
        UserDefaults::useFileForTesting(scratch.path() / "defaults.ini");
        useBundle(scratch.path() / "bundle", applicationKeys("http://127.0.0.1:9/submit"));
    }
    std::filesystem::path userLibrary() const { return scratch.path() / "user"; }
    std::filesystem::path machineLibrary() const { return scratch.path() / "machine"; }
    std::filesystem::path userLogs() const { return userLibrary() / "Logs/DiagnosticReports"; }
    // Writes a log below the user's crash-log folder (or `folder`), modified at `date` to the
    // nanosecond.
    std::filesystem::path writeLog(const std::string& relativePath, UserDefaults::Date date,
                                   const std::filesystem::path& folder = {}) {
        const auto path = (folder.empty() ? userLogs() : folder) / relativePath;
        writeFile(path, "Exception Type: SIGSEGV\n");
        const auto ns = std::chrono::nanoseconds(date.time_since_epoch()).count();
        const timespec times[2] = {{ns / 1000000000, ns % 1000000000},
                                   {ns / 1000000000, ns % 1000000000}};
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
    bool makeApplicationAtSetUp = true;
    std::unique_ptr<Application> app;
};

} // namespace lumsift::test
