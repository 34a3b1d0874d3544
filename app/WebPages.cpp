// The product and support pages, and opening them through the desktop.
#include "app/WebPages.h"

#include "platform/log/Log.h"

#include <QDesktopServices>
#include <QFileInfo>

namespace lumsift::app {

QUrl webPage(const Bundle& bundle, const char* key) {
    if (const auto address = bundle.infoString(key); address && !address->empty())
        return QUrl(QString::fromStdString(*address));
    return QUrl::fromLocalFile(
        QString::fromStdString((bundle.resourcePath() / "README.md").string()));
}

std::string addressText(const QUrl& url) {
    if (url.isLocalFile())
        return url.toLocalFile().toStdString();
    if (url.scheme() == QStringLiteral("mailto"))
        return url.path().toStdString();
    return url.toString().toStdString();
}

bool openThroughDesktop(const QUrl& url) {
    // The desktop starts its viewer and reports success before the viewer looks for the file.
    const bool opened = (!url.isLocalFile() || QFileInfo::exists(url.toLocalFile())) &&
                        QDesktopServices::openUrl(url);
    if (!opened)
        log::line("LumsiftAppDelegate: could not open " + addressText(url));
    return opened;
}

} // namespace lumsift::app
