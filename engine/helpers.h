// File utilities of the engine: existence and readability with the read-access prompt, deletion.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace lumsift {

class AppDelegate;

class helpers {
public:
    // True when the file exists, is a regular file (links followed) and is readable. When it
    // exists but cannot be read, asks the user for read access (the delegate's
    // userSelectedFiles, run on the main thread while this thread waits) and tests again. Any
    // other kind of file (a FIFO, a device, a folder) gives false without a prompt. `appDelegate`
    // is borrowed; null means no prompt.
    static bool fileExists(std::string_view path, const std::shared_ptr<AppDelegate>& appDelegate);
    // access(R_OK).
    static bool fileReadable(std::string_view path);
    // Removes the file, or the folder with everything in it; a symbolic link is removed
    // itself, never followed. The outcome is ignored.
    static void deleteFile(std::string_view path);
    void deleteFileInstance(std::string_view path) const { deleteFile(path); }
    // True exactly when both exist with equal contents: links compared by their targets (not
    // followed), files by their bytes, directories by their entries, recursively.
    static bool compareFiles(std::string_view a, std::string_view b);
    // Logs two lines and nothing else.
    static void hashFile(std::string_view path);
};

} // namespace lumsift
