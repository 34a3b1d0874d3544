// The single instance over QLockFile (who is first) and QLocalServer/QLocalSocket (the request to
// raise the window, answered "raised").
#include "platform/instance/SingleInstance.h"

#include "platform/log/Log.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QString>

#include <cstdlib>
#include <optional>
#include <thread>
#include <unistd.h>

namespace lumsift::instance {
namespace {

constexpr QByteArrayView kRequest = "raise\n";
constexpr QByteArrayView kAnswer = "raised\n";

QString qs(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

// Asks the process listening at `socketPath` to raise its window; true once it has answered.
bool askToRaise(const QString& socketPath, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    // The first start may hold the lock a moment before it listens.
    for (;;) {
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(
                static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0))))
            break;
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    socket.write(kRequest.data(), kRequest.size());
    if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
        return false;
    QByteArray answer;
    while (!answer.endsWith('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    return answer == kAnswer;
}

} // namespace

std::filesystem::path instancePath(std::string_view identifier) {
    std::error_code ec;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/' && std::filesystem::is_directory(runtime, ec))
        return std::filesystem::path(runtime) / identifier;
    return std::filesystem::temp_directory_path(ec) /
           (std::string(identifier) + "-" + std::to_string(::getuid()));
}

struct SingleInstance::State {
    std::filesystem::path path;
    std::optional<QLockFile> lock;
    std::unique_ptr<QLocalServer> server;
    std::function<void()> onRaiseRequested;
};

SingleInstance::SingleInstance(std::filesystem::path path) : state_(std::make_unique<State>()) {
    state_->path = std::move(path);
}

SingleInstance::~SingleInstance() {
    if (state_->server)
        state_->server->close(); // removes the socket file
}

Role SingleInstance::start(std::function<void()> onRaiseRequested,
                           std::chrono::milliseconds timeout) {
    State& s = *state_;
    const QString socketPath = qs(s.path.string() + ".socket");
    s.lock.emplace(qs(s.path.string() + ".lock"));
    // Only a lock whose process has gone is stale, however old it is.
    s.lock->setStaleLockTime(0);
    if (!s.lock->tryLock(0)) {
        if (s.lock->error() != QLockFile::LockFailedError) {
            log::line("WARNING -- Cannot make the instance lock " + s.path.string() +
                      ".lock; more than one instance may run");
            return Role::primary;
        }
        qint64 pid = 0;
        QString hostname, application;
        s.lock->getLockInfo(&pid, &hostname, &application);
        if (askToRaise(socketPath, timeout))
            return Role::secondary;
        log::line("ERROR -- Another instance (process " + std::to_string(pid) +
                  ") holds the instance lock but did not answer");
        return Role::unanswered;
    }

    // The lock is ours: a socket file left there belongs to a process that has gone.
    QLocalServer::removeServer(socketPath);
    s.onRaiseRequested = std::move(onRaiseRequested);
    s.server = std::make_unique<QLocalServer>();
    s.server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!s.server->listen(socketPath)) {
        log::line("WARNING -- Cannot listen on " + socketPath.toStdString() + ": " +
                  s.server->errorString().toStdString());
        return Role::primary;
    }
    QLocalServer* server = s.server.get();
    QObject::connect(server, &QLocalServer::newConnection, server, [this, server] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine() == kRequest) {
                    if (state_->onRaiseRequested)
                        state_->onRaiseRequested();
                    socket->write(kAnswer.data(), kAnswer.size());
                }
                socket->disconnectFromServer();
            });
        }
    });
    return Role::primary;
}

} // namespace lumsift::instance
