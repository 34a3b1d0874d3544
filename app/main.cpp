// Lumsift's entry point: installs the crash-log writer, then hands its arguments to the
// application main.
#include "app/MainInterface.h"
#include "platform/crashlog/CrashLogWriter.h"

int main(int argc, char** argv) {
    lumsift::crashlog::installCrashLogWriter();
    return lumsift::app::applicationMain(argc, argv);
}
