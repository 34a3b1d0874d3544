// The main interface: makes the main window, the application delegate and the three page
// controllers, and connects outlets and actions as an interface file would; and the
// application main that runs it all.
#pragma once

#include "app/LumsiftAppDelegate.h"
#include "platform/bundle/Bundle.h"

#include <QIcon>
#include <QMainWindow>

#include <memory>

namespace lumsift::app {

struct MainInterface {
    // Owns the page controllers (Qt children) and, through them, the pages.
    std::unique_ptr<QMainWindow> window;
    std::shared_ptr<LumsiftAppDelegate> delegate;
};

// Needs a QApplication (main thread). Also makes the main bundle's icon the application's (the
// window's, the alerts'). Nothing is shown and no engine call is made; the caller shows the window
// and sends applicationDidFinishLaunching. Never fails.
MainInterface loadMainInterface();

// The application icon from `bundle`'s resources: every size of
// icons/hicolor/<size>/apps/<CFBundleIdentifier>.png that it holds. A null icon when it holds none.
QIcon applicationIcon(const Bundle& bundle);

// Shows `window` (borrowed) restored from the task bar, raised and active. Main thread.
void bringToFront(QWidget& window);

// The platform's application main: a QApplication over `argc`/`argv` (borrowed for the
// process's life); then, unless another instance of this user's answers (status 0) or holds the
// instance without answering (status 1), the main-thread dispatcher for the engine, the main
// interface, the start-up and the event loop. Returns the loop's exit status.
int applicationMain(int argc, char** argv);

} // namespace lumsift::app
