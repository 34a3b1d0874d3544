// Helpers for the library stand-in's tests.
#include "tests/photolib/TestLibrary.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

extern char** environ;

namespace lumsift::testlib {
namespace fs = std::filesystem;

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "photolib-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
    fs::create_directories(path_ / "config");
    setenv("XDG_CONFIG_HOME", (path_ / "config").c_str(), 1);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

fs::path writeImage(const fs::path& file, int width, int height, int level) {
    static const bool started = vips_init("photolib-tests") == 0;
    if (!started)
        throw std::runtime_error("libvips does not start");
    fs::create_directories(file.parent_path());
    VipsImage* black = nullptr;
    VipsImage* grey = nullptr;
    bool written = false;
    if (vips_black(&black, width, height, nullptr) == 0 &&
        vips_linear1(black, &grey, 1.0, static_cast<double>(level), "uchar", TRUE, nullptr) == 0)
        written = vips_image_write_to_file(grey, file.c_str(), nullptr) == 0;
    if (grey != nullptr)
        g_object_unref(grey);
    if (black != nullptr)
        g_object_unref(black);
    if (!written)
        throw std::runtime_error("cannot write the image " + file.string());
    return file;
}

fs::path writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ProcessResult runPhotolib(const std::vector<std::string>& args) {
    const fs::path program = fs::path(LUMSIFT_BINARY_DIR) / "tools" / "photolib" / "photolib";
    std::string outPattern = (fs::temp_directory_path() / "photolib-out-XXXXXX").string();
    std::string errPattern = (fs::temp_directory_path() / "photolib-err-XXXXXX").string();
    const int outFd = mkstemp(outPattern.data());
    const int errFd = mkstemp(errPattern.data());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ProcessResult result;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    result.out = readText(outPattern);
    result.err = readText(errPattern);
    fs::remove(outPattern);
    fs::remove(errPattern);
    return result;
}

std::string snapshot(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().string();
        if (name.ends_with("-wal") || name.ends_with("-shm"))
            continue;
        const std::string content = entry.is_regular_file() ? readText(entry.path()) : "<folder>";
        files[name] = std::to_string(content.size()) + " " +
                      std::to_string(std::hash<std::string>{}(content));
    }
    std::string text;
    for (const auto& [name, sizeAndHash] : files)
        text += name + " " + sizeAndHash + "\n";
    return text;
}

} // namespace lumsift::testlib
