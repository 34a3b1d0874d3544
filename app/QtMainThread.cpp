// Queued and blocking-queued invocation on the application object.
#include "app/QtMainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace lumsift::app {
namespace {

// True on the thread of the QCoreApplication (and when there is none).
bool isMainThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    return application == nullptr || QThread::currentThread() == application->thread();
}

} // namespace

void QtMainThread::post(std::function<void()> work) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        work();
        return;
    }
    QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

void QtMainThread::runAndWait(std::function<void()> work) {
    if (isMainThread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work),
                              Qt::BlockingQueuedConnection);
}

} // namespace lumsift::app
