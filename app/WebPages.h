// The product and support pages: the addresses that whoever built Lumsift wrote into Info.plist,
// or, where the build was given none, the README shipped in the bundle's resources.
#pragma once

#include "platform/bundle/Bundle.h"

#include <QUrl>

#include <string>

namespace lumsift::app {

// The Info.plist keys of the two pages.
inline constexpr const char* kProductPageKey = "LumsiftProductPageURL";
inline constexpr const char* kSupportPageKey = "LumsiftSupportPageURL";

// The address under `key` in `bundle`'s Info.plist; when it holds none (or an empty one), the
// file URL of README.md in the bundle's resources, which need not exist.
QUrl webPage(const Bundle& bundle, const char* key);

// `url` as a person reads it: a file as its path, a mailto address as the e-mail address, any
// other as the whole address.
std::string addressText(const QUrl& url);

// Hands `url` to the desktop: the browser, the mail program or the file viewer. False, with a log
// line, when it is a local file that does not exist or when the desktop cannot open it. Main
// thread.
bool openThroughDesktop(const QUrl& url);

} // namespace lumsift::app
