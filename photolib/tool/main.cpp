// photolib: makes, fills, opens and selects in a photo library for the photo application's
// stand-in. See Photolib.h for the commands.
#include "photolib/tool/Photolib.h"

#include <iostream>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return lumsift::photolib::run(args, std::cout, std::cerr);
}
