// Helpers of the crash reporter's tests: a scratch folder, an HTTP server on 127.0.0.1 answering
// as a test scripts, a fixture with Library folders, bundle and user defaults of its own.
#pragma once

#include "Shared Code/KTWExceptions.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/folders/LibraryFolders.h"
#include "platform/plist/Plist.h"
#include "tests/support/SavedEnvironment.h"
#include "tests/support/TestImages.h"

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
using testimages::writeBytes;

// Answers each crash report, once its form has arrived, with `pieces` written 50 ms apart (so the
// client receives them apart); no pieces drop the connection. A `silent` server never answers; a
// `flooding` one answers with the headers of a 2 GiB body and sends it as fast as the client
// reads. Records the requests and the body bytes it flooded.
struct TestHttpServer {
    enum Kind { answering, silent, flooding };
    explicit TestHttpServer(std::vector<QByteArray> pieces, Kind kind = answering)
        : pieces(std::move(pieces)), kind(kind) {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                socket->setParent(&server);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    buffer += socket->readAll();
                    if (!buffer.endsWith("--81e29ba4f957efe5916039f587fe3ed7--\r\n"))
                        return;
                    requests.push_back(std::exchange(buffer, {}));
                    respond(socket, 0);
                });
                // Another mebibyte whenever the last has gone out, until 2 GiB or a closed socket.
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] {
                    if (socket->bytesToWrite() == 0 && this->kind == flooding &&
                        sent < (qint64{2} << 30))
                        sent += socket->write(QByteArray(1 << 20, 'x'));
                });
            }
        });
    }
    // A response with `status` and the body `answer`, in one piece.
    static std::vector<QByteArray> answer(const QByteArray& answer, int status = 200) {
        return {"HTTP/1.1 " + QByteArray::number(status) +
                " Status\r\nContent-Type: text/plain\r\nContent-Length: " +
                QByteArray::number(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer};
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(server.serverPort()) + "/submit";
    }
    void respond(QTcpSocket* socket, std::size_t next) {
        if (kind == flooding)
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n");
        if (kind != answering)
            return;
        if (pieces.empty())
            return socket->abort();
        socket->write(pieces[next]);
        socket->flush();
        if (next + 1 == pieces.size())
            return socket->disconnectFromHost();
        QTimer::singleShot(50, socket, [this, socket, next] { respond(socket, next + 1); });
    }

    QTcpServer server;
    std::vector<QByteArray> pieces, requests;
    const Kind kind;
    QByteArray buffer;
    qint64 sent = 0;
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

// A user Library, a machine Library, a bundle and user defaults of the test's own; the
// environment, the machine's Library and the main bundle are put back when the test ends.
class CrashReporterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (makeApplicationAtSetUp)
            app.emplace(argc, argv);
        setenv("XDG_DATA_HOME", userLibrary.c_str(), 1);
        folders::setLocalLibraryDirectoryForTesting(scratch / "machine");
        UserDefaults::useFileForTesting(scratch / "defaults.ini");
        useBundle();
    }
    void TearDown() override {
        folders::setLocalLibraryDirectoryForTesting(savedLocalLibrary);
        Bundle::setMainForTesting(savedBundle.bundlePath(), savedBundle.executablePath(),
                                  savedBundle.infoPlistPath(), savedBundle.resourcePath());
        if (!app)
            return;
        // Every window closed before the application goes.
        for (QWidget* window : QApplication::topLevelWidgets())
            window->close();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // Makes a bundle the main one; `changes` sets keys of the usual, or removes them when empty.
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
        const fs::path folder = scratch / "bundle";
        writeBytes(folder / "Info.plist", info.toXml());
        Bundle::setMainForTesting(folder, folder / "Lumsift", folder / "Info.plist", folder);
    }
    // Writes a log (path relative to the user's crash logs) modified at `date` to the nanosecond.
    fs::path writeLog(const fs::path& relativePath, UserDefaults::Date date) {
        const auto path = userLogs / relativePath;
        writeBytes(path, "Exception Type: SIGSEGV\n");
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

    const testing::SavedEnvironment savedEnvironment{"XDG_DATA_HOME", "HOME", "EMAIL"};
    const fs::path savedLocalLibrary = folders::localLibraryDirectory();
    const Bundle savedBundle = Bundle::main();
    testimages::TempDir scratch;
    const fs::path userLibrary = scratch / "user";
    const fs::path userLogs = userLibrary / "Logs/DiagnosticReports";
    const fs::path machineLogs = scratch / "machine/Logs/DiagnosticReports";
    bool makeApplicationAtSetUp = true;
    int argc = 1;
    char* argv[2] = {const_cast<char*>("shared_tests"), nullptr};
    std::optional<QApplication> app;
};

} // namespace lumsift::test
