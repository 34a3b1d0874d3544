// The commands of photolib, the command-line front of the photo application's stand-in: create a
// library package, import photographs, open and close it, select images, show what it holds.
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace lumsift::photolib {

// Runs one command line (`args` without the program name). Writes results to `out` and a clear
// message to `err` on failure. Returns the exit status: 0 done, 1 failed (the library is then
// unchanged), 2 bad usage. Never throws.
int run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

} // namespace lumsift::photolib
