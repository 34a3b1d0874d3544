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


std::string queryText(photolib::LibraryPackage& library, const std::string& sql) {
    auto query = library.connection().prepare(sql);
    return query.step() ? query.text(0) : std::string("<no row>");
}

ProcessResult runPhotolib(const std::vector<std::string>& args) {
    const fs::path program = LUMSIFT_PHOTOLIB_PROGRAM;
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
    result.out = readBytes(outPattern);
    result.err = readBytes(errPattern);
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
