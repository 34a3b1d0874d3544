// photolib: makes, fills, opens and selects in a photo library for the photo application's
// stand-in. See Photolib.h for the commands.
#include "photolib/tool/Photolib.h"

#include <iostream>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Progress is drawn only where a person watches it.
    int terminalWidth = 0;
    winsize size{};
    if (isatty(STDERR_FILENO) != 0)
        terminalWidth =
            ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    return lumsift::photolib::run(args, std::cout, std::cerr, terminalWidth);
}
