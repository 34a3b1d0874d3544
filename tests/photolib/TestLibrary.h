// Helpers for the library stand-in's tests: a temporary folder that also holds the stand-in's
// setting, tiny image files, and photolib run as a process.
#pragma once

#include "photolib/LibraryPackage.h"
#include "tests/support/TestImages.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lumsift::testlib {

// A temporary folder (removed with everything in it when the object goes) that also points
// XDG_CONFIG_HOME at a folder inside it, so the stand-in's setting is private to the test.
class TempFolder : public testimages::TempDir {
public:
    TempFolder();
};

// Writes a width x height picture of one grey `level` to `file` (format by suffix: .jpg, .png,
// ...); makes the folder. Returns `file`. Throws std::runtime_error on failure.
std::filesystem::path writeImage(const std::filesystem::path& file, int width, int height,
                                 int level = 128);

// Writes a small JPEG whose EXIF block gives a resolution unit libvips does not know, so that
// reading it makes libvips warn. Returns `file`.
std::filesystem::path writeImageWithOddExif(const std::filesystem::path& file);

using testimages::readBytes;
using testimages::writeBytes;

// The first column of the first row of `sql` run on `library`'s connection; "<no row>" when none.
std::string queryText(photolib::LibraryPackage& library, const std::string& sql);

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// A program started with its output going to temporary files; waited for (and its files read and
// removed) by wait().
class StartedProgram {
public:
    // Starts `argv` (argv[0] a path); the program's standard output and error go to files.
    explicit StartedProgram(const std::vector<std::string>& argv);
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;
    // -1 when the program could not be started.
    pid_t pid() const { return pid_; }
    // Waits for the end. exitCode is -1 when the program died of a signal.
    ProcessResult wait();

private:
    pid_t pid_ = -1;
    std::string outFile_;
    std::string errFile_;
    bool waited_ = false;
};

// Runs `argv` (argv[0] a path), waits, and returns what it wrote.
ProcessResult runProgram(const std::vector<std::string>& argv);

// Runs the photolib built beside the tests with `args`, waits, and returns what it wrote.
ProcessResult runPhotolib(const std::vector<std::string>& args);

// Every file below `folder` with its size and a hash of its contents, as one text: equal texts mean
// nothing changed (the database's WAL files are left out, as they change on mere reading).
std::string snapshot(const std::filesystem::path& folder);

} // namespace lumsift::testlib
