// Lumsift's entry point: installs the crash-log writer, registers the photo application that
// Lumsift works with (the library-package stand-in), then hands its arguments to the application
// main.
#include "app/MainInterface.h"
#include "photolib/LibraryApplication.h"
#include "platform/crashlog/CrashLogWriter.h"

int main(int argc, char** argv) {
    lumsift::crashlog::installCrashLogWriter();
    lumsift::photolib::registerLibraryApplication();
    return lumsift::app::applicationMain(argc, argv);
}
