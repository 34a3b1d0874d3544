// The commands of photolib, the command-line front of the photo application's stand-in: create a
// library package, import photographs, open and close it, select images, show what it holds, as
// text or as a page of pictures.
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace lumsift::photolib {

// The commands:
//   create LIB.aplibrary                      a new, empty library package
//   import LIB FOLDER_OR_FILE... [--project NAME] [--reference] [--verbose]
//                                             adds the pictures the renderer reads (folders are
//                                             walked); the project defaults to the name of the
//                                             folder imported (or of the file's folder); ends with
//                                             a summary (imported, skipped, refused and why);
//                                             --verbose lists each image and shows libvips'
//                                             warnings, which are otherwise only logged
//   open LIB / close                          the photo application now runs with LIB / no longer
//   select LIB [NAME_OR_UUID_OR_PATH...]      sets the selection in the order given; none clears
//   show LIB [--tags] [--keywords] [--json]   the projects, versions and selection
//   sheet LIB [--keyword NAME] [--output FILE] [--open]
//                                             a page of thumbnails grouped by search keyword;
//                                             --open shows it with xdg-open
//
// Runs one command line (`args` without the program name). Writes results to `out`; progress and,
// on failure, a clear message to `err`. Progress is shown when `terminalWidth` is not 0: `err`
// is then a terminal of that many columns. Returns the exit status: 0 done, 1 failed (the library
// is then unchanged), 2 bad usage. Never throws.
int run(std::span<const std::string> args, std::ostream& out, std::ostream& err,
        int terminalWidth = 0);

} // namespace lumsift::photolib
