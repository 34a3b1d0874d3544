// Helpers for the library stand-in's tests.
#include "tests/photolib/TestLibrary.h"

#include <cstdlib>
#include <functional>
#include <map>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace lumsift::testlib {
namespace fs = std::filesystem;

TempFolder::TempFolder() {
    fs::create_directories(path() / "config");
    setenv("XDG_CONFIG_HOME", (path() / "config").c_str(), 1);
}

fs::path writeImage(const fs::path& file, int width, int height, int level) {
    fs::create_directories(file.parent_path());
    const auto grey = static_cast<uint8_t>(level);
    return testimages::writeSolid(file, width, height, grey, grey, grey);
}
fs::path writeImageWithOddExif(const fs::path& file) {
    const std::string jpeg = readBytes(writeImage(file, 8, 8));
    // A little-endian TIFF block with one directory: XResolution and YResolution (72/1) and
    // ResolutionUnit 0, which means nothing.
    const auto u16 = [](unsigned v) { return std::string{char(v & 0xff), char(v >> 8)}; };
    const auto u32 = [&](unsigned v) { return u16(v & 0xffff) + u16(v >> 16); };
    const unsigned rationals = 8 + 2 + 3 * 12 + 4;
    std::string tiff = "II" + u16(42) + u32(8) + u16(3);
    tiff += u16(0x011A) + u16(5) + u32(1) + u32(rationals);
    tiff += u16(0x011B) + u16(5) + u32(1) + u32(rationals + 8);
    tiff += u16(0x0128) + u16(3) + u32(1) + u32(0);
    tiff += u32(0) + u32(72) + u32(1) + u32(72) + u32(1);
    const std::string payload = std::string("Exif\0\0", 6) + tiff;
    const size_t length = payload.size() + 2;
    const std::string app1 =
        std::string{char(0xFF), char(0xE1), char(length >> 8), char(length & 0xff)} + payload;
    return writeBytes(file, jpeg.substr(0, 2) + app1 + jpeg.substr(2));
}

std::string queryText(photolib::LibraryPackage& library, const std::string& sql) {
    auto query = library.connection().prepare(sql);
    return query.step() ? query.text(0) : std::string("<no row>");
}

StartedProgram::StartedProgram(const std::vector<std::string>& argv) {
    outFile_ = (fs::temp_directory_path() / "photolib-out-XXXXXX").string();
    errFile_ = (fs::temp_directory_path() / "photolib-err-XXXXXX").string();
    const int outFd = mkstemp(outFile_.data());
    const int errFd = mkstemp(errFile_.data());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (auto& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    if (posix_spawn(&pid_, words.at(0).c_str(), &actions, nullptr, pointers.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
}

StartedProgram::~StartedProgram() {
    if (!waited_)
        wait();
}

ProcessResult StartedProgram::wait() {
    ProcessResult result;
    if (!waited_ && pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    waited_ = true;
    result.out = readBytes(outFile_);
    result.err = readBytes(errFile_);
    fs::remove(outFile_);
    fs::remove(errFile_);
    return result;
}

ProcessResult runProgram(const std::vector<std::string>& argv) {
    return StartedProgram(argv).wait();
}

ProcessResult runPhotolib(const std::vector<std::string>& args) {
    std::vector<std::string> argv{LUMSIFT_PHOTOLIB_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

std::string snapshot(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().string();
        if (name.ends_with("-wal") || name.ends_with("-shm"))
            continue;
        const std::string content = entry.is_regular_file() ? readBytes(entry.path()) : "<folder>";
        files[name] = std::to_string(content.size()) + " " +
                      std::to_string(std::hash<std::string>{}(content));
    }
    std::string text;
    for (const auto& [name, sizeAndHash] : files)
        text += name + " " + sizeAndHash + "\n";
    return text;
}

} // namespace lumsift::testlib
