// photolib's commands over the library package: parsing, the work, and the text or JSON shown.
#include "photolib/tool/Photolib.h"

#include "fingerprint/DecoderChoice.h"
#include "photolib/LibraryPackage.h"
#include "photolib/Text.h"
#include "photolib/tool/ContactSheet.h"
#include "platform/log/Log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace lumsift::photolib {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUsage =
    "usage:\n"
    "  photolib create LIB.aplibrary\n"
    "  photolib import LIB FOLDER_OR_FILE... [--project NAME] [--reference] [--verbose]\n"
    "  photolib open LIB\n"
    "  photolib close\n"
    "  photolib select LIB [NAME_OR_UUID_OR_PATH...]\n"
    "  photolib show LIB [--tags] [--keywords] [--json]\n"
    "  photolib sheet LIB [--keyword NAME] [--output FILE] [--open]\n";

// A command line that does not fit the usage.
struct UsageError {
    std::string message;
};

// The command's words after the command name: options (with their values) and operands.
struct Arguments {
    std::vector<std::string> operands;
    std::optional<std::string> project;
    std::optional<std::string> keyword;
    std::optional<std::string> output;
    bool reference = false;
    bool verbose = false;
    bool tags = false;
    bool keywords = false;
    bool json = false;
    bool open = false;
};

Arguments parse(std::span<const std::string> words, std::span<const std::string_view> allowed) {
    Arguments a;
    const auto isAllowed = [&](std::string_view option) {
        return std::find(allowed.begin(), allowed.end(), option) != allowed.end();
    };
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            a.operands.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (!isAllowed(word))
            throw UsageError{"unknown option " + word};
        for (auto [option, value] :
             {std::pair{"--project", &a.project}, std::pair{"--keyword", &a.keyword},
              std::pair{"--output", &a.output}}) {
            if (word != option)
                continue;
            if (i + 1 == words.size())
                throw UsageError{word + " needs a value"};
            *value = words[++i];
        }
        a.reference = a.reference || word == "--reference";
        a.verbose = a.verbose || word == "--verbose";
        a.open = a.open || word == "--open";
        a.tags = a.tags || word == "--tags";
        a.keywords = a.keywords || word == "--keywords";
        a.json = a.json || word == "--json";
    }
    return a;
}

void requireOperands(const Arguments& a, size_t least, std::optional<size_t> most) {
    if (a.operands.size() < least)
        throw UsageError{"too few arguments"};
    if (most && a.operands.size() > *most)
        throw UsageError{"too many arguments"};
}

// The project that an import without --project fills: named after the folder imported, or the
// folder of the file imported.
std::string defaultProject(const fs::path& firstInput) {
    std::error_code error;
    fs::path folder = fs::weakly_canonical(fs::absolute(firstInput), error);
    if (!fs::is_directory(folder, error))
        folder = folder.parent_path();
    const std::string name = folder.filename().string();
    return name.empty() ? "Untitled Project" : name;
}

int create(const Arguments& a, std::ostream& out) {
    requireOperands(a, 1, 1);
    const LibraryPackage library = LibraryPackage::create(a.operands[0]);
    out << "Created " << library.path().string() << "\n";
    return 0;
}

// Progress on a terminal: one line, rewritten in place at most ten times a second; nothing when
// the terminal's width is 0 (standard error is not a terminal).
class ProgressLine {
public:
    ProgressLine(std::ostream& err, int width) : err_(err), width_(width) {}
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Shows `what` followed by as much of the end of `detail` as fits.
    void show(const std::string& what, std::string_view detail, bool last) {
        const auto now = std::chrono::steady_clock::now();
        if (width_ <= 0 || (shown_ && !last && now - shownAt_ < std::chrono::milliseconds(100)))
            return;
        shownAt_ = now;
        shown_ = true;
        std::string text = validUtf8(detail);
        const size_t line = static_cast<size_t>(width_ - 1);
        const size_t room = line > what.size() ? line - what.size() : 0;
        if (characters(text) > room) {
            // Keep the end, where the file's name is, behind an ellipsis; cut between characters.
            while (!text.empty() && characters(text) + 1 > room) {
                size_t cut = 1;
                while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
                    ++cut;
                text.erase(0, cut);
            }
            text = room > 0 ? "\xE2\x80\xA6" + text : std::string();
        }
        err_ << "\r" << what << text << "\033[K" << std::flush;
    }
    void clear() {
        if (shown_)
            err_ << "\r\033[K" << std::flush;
        shown_ = false;
    }

private:
    static size_t characters(std::string_view utf8) {
        return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    }

    std::ostream& err_;
    const int width_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point shownAt_;
};

std::string count(size_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

int import(const Arguments& a, std::ostream& out, std::ostream& err, int terminalWidth) {
    requireOperands(a, 2, std::nullopt);
    // libvips' warnings about the files read go to the log; on the terminal only when asked for.
    size_t warnings = 0;
    const log::ScopedSink countWarnings(
        [&warnings](std::string_view line) { warnings += line.starts_with("libvips:") ? 1 : 0; },
        /*exclusive=*/false);
    std::optional<log::QuietStandardError> quiet;
    if (!a.verbose)
        quiet.emplace();

    LibraryPackage library = LibraryPackage::open(a.operands[0]);
    const std::vector<fs::path> inputs(a.operands.begin() + 1, a.operands.end());
    ImportOptions options;
    options.project = a.project ? *a.project : defaultProject(inputs.front());
    options.reference = a.reference;
    // A folder gives the files the renderer reads, by suffix; each must then open as an image.
    options.isImageFile = [types = readableImageTypes()](const fs::path& file) {
        const std::string suffix = file.extension().string();
        return suffix.size() > 1 &&
               std::find(types.begin(), types.end(), suffix.substr(1)) != types.end();
    };
    ProgressLine progress(err, terminalWidth);
    options.progress = [&](ImportPhase phase, size_t done, size_t total, const fs::path& file) {
        progress.show((phase == ImportPhase::Examining ? "Examining " : "Adding ") +
                          std::to_string(done) + "/" + std::to_string(total) + "  ",
                      file.string(), done == total);
    };
    const ImportReport report = library.importFiles(inputs, options);
    progress.clear();

    if (a.verbose)
        for (const auto& v : report.imported)
            out << v.uuid << "  " << v.name << "  " << v.width << "x" << v.height << "  "
                << v.masterPath.string() << "\n";
    out << "Imported " << count(report.imported.size(), "image", "images") << " into the project \""
        << options.project << "\"" << (a.reference ? " (referenced)" : "") << ".\n";
    if (!report.skipped.empty())
        out << "Skipped " << count(report.skipped.size(), "file", "files")
            << " already in the project.\n";
    if (!report.refused.empty()) {
        out << "Refused " << count(report.refused.size(), "file", "files") << ":\n";
        for (const auto& refusal : report.refused)
            out << "  " << refusal.file.string() << " " << refusal.reason << "\n";
    }
    if (warnings > 0 && !a.verbose)
        out << "libvips warned " << count(warnings, "time", "times")
            << " about the files read (in the system log; --verbose shows them).\n";
    return 0;
}

int open(const Arguments& a, std::ostream& out) {
    requireOperands(a, 1, 1);
    openLibrary(a.operands[0]);
    out << "Opened " << openLibraryPath().value_or(fs::path()).string() << "\n";
    return 0;
}

int close(const Arguments& a, std::ostream& out) {
    requireOperands(a, 0, 0);
    const auto was = openLibraryPath();
    closeLibrary();
    if (was)
        out << "Closed " << was->string() << "\n";
    return 0;
}

int select(const Arguments& a, std::ostream& out) {
    requireOperands(a, 1, std::nullopt);
    LibraryPackage library = LibraryPackage::open(a.operands[0]);
    const std::vector<std::string> keys(a.operands.begin() + 1, a.operands.end());
    library.select(keys);
    const auto selected = library.selection();
    out << "Selected " << selected.size() << (selected.size() == 1 ? " image" : " images") << "\n";
    return 0;
}

void showText(LibraryPackage& library, const Arguments& a, std::ostream& out) {
    out << "Library " << library.path().string() << " (version " << library.version() << ")\n";
    for (const auto& project : library.projects()) {
        out << "Project \"" << project.name << "\"  " << project.uuid << "\n";
        for (const auto& v : library.versions(project.uuid)) {
            out << "  " << v.uuid << "  " << v.name << "  " << v.width << "x" << v.height << "  "
                << v.masterPath.string() << (v.fileIsReference ? "  referenced" : "")
                << (v.online() ? "" : "  offline") << "\n";
            if (a.tags)
                for (const auto& tag : library.customTags(v.uuid))
                    out << "    tag " << tag.name << " = " << tag.value << "\n";
            if (a.keywords)
                for (const auto& keyword : library.keywords(v.uuid))
                    out << "    keyword "
                        << (keyword.parentName.empty() ? "" : keyword.parentName + " / ")
                        << keyword.name << "\n";
        }
    }
    out << "Selection:";
    for (const auto& id : library.selection()) {
        const auto v = library.versionRecord(id);
        out << "\n  " << id << "  " << (v ? v->name : std::string());
    }
    out << "\n";
}

void showJson(LibraryPackage& library, const Arguments& a, std::ostream& out) {
    out << "{\"library\": " << jsonText(library.path().string())
        << ", \"version\": " << jsonText(library.version()) << ", \"projects\": [";
    const char* projectSeparator = "";
    for (const auto& project : library.projects()) {
        out << projectSeparator << "\n  {\"uuid\": " << jsonText(project.uuid)
            << ", \"name\": " << jsonText(project.name) << ", \"versions\": [";
        projectSeparator = ",";
        const char* versionSeparator = "";
        for (const auto& v : library.versions(project.uuid)) {
            out << versionSeparator << "\n    {\"uuid\": " << jsonText(v.uuid)
                << ", \"name\": " << jsonText(v.name) << ", \"fileName\": " << jsonText(v.fileName)
                << ", \"masterPath\": " << jsonText(v.masterPath.string())
                << ", \"referenced\": " << (v.fileIsReference ? "true" : "false")
                << ", \"online\": " << (v.online() ? "true" : "false") << ", \"width\": " << v.width
                << ", \"height\": " << v.height;
            versionSeparator = ",";
            if (a.tags) {
                out << ", \"tags\": [";
                const char* separator = "";
                for (const auto& tag : library.customTags(v.uuid)) {
                    out << separator << "{\"name\": " << jsonText(tag.name)
                        << ", \"value\": " << jsonText(tag.value) << "}";
                    separator = ", ";
                }
                out << "]";
            }
            if (a.keywords) {
                out << ", \"keywords\": [";
                const char* separator = "";
                for (const auto& keyword : library.keywords(v.uuid)) {
                    out << separator << "{\"uuid\": " << jsonText(keyword.uuid)
                        << ", \"name\": " << jsonText(keyword.name)
                        << ", \"parent\": " << jsonText(keyword.parentName) << "}";
                    separator = ", ";
                }
                out << "]";
            }
            out << "}";
        }
        out << "]}";
    }
    out << "],\n \"selection\": [";
    const char* separator = "";
    for (const auto& id : library.selection()) {
        out << separator << jsonText(id);
        separator = ", ";
    }
    out << "]}\n";
}

int show(const Arguments& a, std::ostream& out) {
    requireOperands(a, 1, 1);
    LibraryPackage library =
        LibraryPackage::open(a.operands[0], LibraryPackage::Access::ReadWhereNotWritable);
    if (a.json)
        showJson(library, a, out);
    else
        showText(library, a, out);
    return 0;
}

// Where a page goes when no --output is given: the user's cache, named after the library.
fs::path defaultSheetFile(const LibraryPackage& library) {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    fs::path folder = cache != nullptr && cache[0] == '/'
                          ? fs::path(cache)
                          : fs::path(home != nullptr ? home : "") / ".cache";
    return folder / "photolib" / (library.path().stem().string() + ".html");
}

// Opens `file` with the desktop's viewer (xdg-open). Throws std::runtime_error when it cannot.
void openWithDesktop(const fs::path& file) {
    std::vector<std::string> words{"xdg-open", file.string()};
    std::vector<char*> argv{words[0].data(), words[1].data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot run xdg-open (package xdg-utils) to open " +
                                 file.string());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("xdg-open could not open " + file.string());
}

int sheet(const Arguments& a, std::ostream& out, std::ostream& err, int terminalWidth) {
    requireOperands(a, 1, 1);
    // libvips' warnings about the masters read go to the log only.
    const log::QuietStandardError quiet;
    LibraryPackage library =
        LibraryPackage::open(a.operands[0], LibraryPackage::Access::ReadWhereNotWritable);
    const fs::path file = fs::absolute(a.output ? fs::path(*a.output) : defaultSheetFile(library));
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    // Written beside its place and put there whole.
    const fs::path partial = file.string() + ".partial";
    {
        std::ofstream page(partial, std::ios::binary | std::ios::trunc);
        if (!page)
            throw std::runtime_error("cannot write " + partial.string());
        ProgressLine progress(err, terminalWidth);
        SheetOptions options;
        options.keyword = a.keyword;
        options.progress = [&](size_t done, size_t total) {
            progress.show("Thumbnails " + std::to_string(done) + "/" + std::to_string(total), "",
                          done == total);
        };
        try {
            writeContactSheet(library, options, page);
        } catch (...) {
            page.close();
            fs::remove(partial, error);
            throw;
        }
        page.close();
        if (!page) {
            fs::remove(partial, error);
            throw std::runtime_error("cannot write " + partial.string());
        }
    }
    fs::rename(partial, file);
    out << "Wrote " << file.string() << "\n";
    if (a.open)
        openWithDesktop(file);
    return 0;
}

} // namespace

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err,
        int terminalWidth) {
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    const auto words = args.subspan(1);
    try {
        if (command == "create")
            return create(parse(words, {}), out);
        if (command == "import") {
            constexpr std::string_view options[] = {"--project", "--reference", "--verbose"};
            return import(parse(words, options), out, err, terminalWidth);
        }
        if (command == "open")
            return open(parse(words, {}), out);
        if (command == "close")
            return close(parse(words, {}), out);
        if (command == "select")
            return select(parse(words, {}), out);
        if (command == "show") {
            constexpr std::string_view options[] = {"--tags", "--keywords", "--json"};
            return show(parse(words, options), out);
        }
        if (command == "sheet") {
            constexpr std::string_view options[] = {"--keyword", "--output", "--open"};
            return sheet(parse(words, options), out, err, terminalWidth);
        }
        throw UsageError{"unknown command " + command};
    } catch (const UsageError& e) {
        err << "photolib: " << e.message << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        err << "photolib: " << e.what() << "\n";
        return 1;
    }
}

} // namespace lumsift::photolib
