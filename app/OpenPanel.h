// A modal open panel: the user chooses one file or folder. A library package is a folder here;
// with allowed types set, a folder whose suffix is one of them is chosen as one item rather than
// entered. Tests answer panels through setRunnerForTesting instead of the dialog.
#pragma once

#include <QPointer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace lumsift::app {

class OpenPanel {
public:
    // runModal results.
    static constexpr int kResponseOK = 1;
    static constexpr int kResponseCancel = 0;

    // Answers a panel in place of the user: returns the response and, for OK, fills `URLs`.
    using Runner =
        std::function<int(const OpenPanel& panel, std::vector<std::filesystem::path>& URLs)>;
    // Every later runModal, in every thread, calls `runner` (copied) instead of showing a
    // dialog; an empty runner restores the dialog.
    static void setRunnerForTesting(Runner runner);

    void setCanChooseFiles(bool value) { canChooseFiles_ = value; }
    void setCanChooseDirectories(bool value) { canChooseDirectories_ = value; }
    // Suffixes without the dot ("aplibrary"); empty: every type.
    void setAllowedFileTypes(std::vector<std::string> types) {
        allowedFileTypes_ = std::move(types);
    }
    void setTitle(std::string title) { title_ = std::move(title); }
    void setMessage(std::string message) { message_ = std::move(message); }
    void setDirectoryURL(std::filesystem::path directory) { directoryURL_ = std::move(directory); }
    // The window the dialog belongs to (borrowed; may be null).
    void setParentWindow(QWidget* window) { parent_ = window; }

    bool canChooseFiles() const { return canChooseFiles_; }
    bool canChooseDirectories() const { return canChooseDirectories_; }
    const std::vector<std::string>& allowedFileTypes() const { return allowedFileTypes_; }
    const std::string& title() const { return title_; }
    const std::string& message() const { return message_; }
    const std::filesystem::path& directoryURL() const { return directoryURL_; }

    // Main thread. Shows the panel and waits for the user: kResponseOK when an item was chosen
    // (URLs() then holds it), kResponseCancel otherwise.
    int runModal();
    // The chosen items after OK, absolute; empty otherwise.
    const std::vector<std::filesystem::path>& URLs() const { return URLs_; }

    // True when `path` names a folder or file whose suffix is one of `types`.
    static bool hasAllowedType(const std::filesystem::path& path,
                               const std::vector<std::string>& types);

private:
    int runDialog();

    bool canChooseFiles_ = true;
    bool canChooseDirectories_ = false;
    std::vector<std::string> allowedFileTypes_;
    std::string title_;
    std::string message_;
    std::filesystem::path directoryURL_;
    QPointer<QWidget> parent_;
    std::vector<std::filesystem::path> URLs_;
};

} // namespace lumsift::app
