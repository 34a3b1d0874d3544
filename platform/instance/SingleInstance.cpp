// The single instance over QLockFile (who is first) and QLocalServer/QLocalSocket (the request to
// raise the window, answered "raised"), in a folder of the user's alone; the lock's owner and the
// answering process's user are checked as well.
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
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace lumsift::instance {
namespace {

constexpr QByteArrayView kRequest = "raise\n";
constexpr QByteArrayView kAnswer = "raised\n";

namespace fs = std::filesystem;

QString qs(const fs::path& path) {
    return QString::fromStdString(path.string());
}

// True when `folder` is a real folder (not a link) owned by this user, mode 0700.
bool isUsersAlone(const fs::path& folder) {
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & 0777) == 0700;
}

// True when something other than a file of this user's lies at `path`.
bool isSomeoneElsesFile(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 &&
           (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid());
}

enum class Answer { raised, none, stranger };

// Asks the process listening at `socketPath` to raise its window: raised once it has answered,
// stranger when that process is another user's (it is asked nothing), else none.
Answer askToRaise(const QString& socketPath, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    // The first start may hold the lock a moment before it listens.
    for (;;) {
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(
                static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0))))
            break;
        if (deadline.hasExpired())
            return Answer::none;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                     &size) != 0 ||
        peer.uid != ::geteuid())
        return Answer::stranger;
    socket.write(kRequest.data(), kRequest.size());
    if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
        return Answer::none;
    QByteArray answer;
    while (!answer.endsWith('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    return answer == kAnswer ? Answer::raised : Answer::none;
}

} // namespace

std::optional<fs::path> instancePath(std::string_view identifier) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/' && isUsersAlone(runtime))
        return fs::path(runtime) / identifier;
    std::error_code ec;
    fs::path temporary = fs::temp_directory_path(ec);
    if (ec)
        temporary = "/tmp";
    // Made when missing; what another user may have put there first must pass the same test.
    const fs::path folder = temporary / ("lumsift-" + std::to_string(::geteuid()));
    ::mkdir(folder.c_str(), 0700);
    if (isUsersAlone(folder))
        return folder / identifier;
    log::line("WARNING -- " + folder.string() +
              " is not a folder of this user's alone (mode 0700, not a link); more than one "
              "instance may run");
    return std::nullopt;
}

struct SingleInstance::State {
    fs::path path;
    std::optional<QLockFile> lock;
    std::unique_ptr<QLocalServer> server;
    std::function<void()> onRaiseRequested;
};

SingleInstance::SingleInstance(fs::path path) : state_(std::make_unique<State>()) {
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
        if (isSomeoneElsesFile(s.path.string() + ".lock")) {
            log::line("WARNING -- The instance lock " + s.path.string() +
                      ".lock is not this user's; more than one instance may run");
            return Role::primary;
        }
        qint64 pid = 0;
        QString hostname, application;
        s.lock->getLockInfo(&pid, &hostname, &application);
        switch (askToRaise(socketPath, timeout)) {
        case Answer::raised:
            return Role::secondary;
        case Answer::stranger:
            log::line("WARNING -- Another user's process listens on " + socketPath.toStdString() +
                      "; more than one instance may run");
            return Role::primary;
        case Answer::none:
            break;
        }
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
