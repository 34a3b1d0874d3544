// photolib's commands over the library package: parsing, the work, and the text or JSON shown.
#include "photolib/tool/Photolib.h"

#include "fingerprint/DecoderChoice.h"
#include "photolib/LibraryPackage.h"
#include "photolib/Text.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace lumsift::photolib {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUsage =
    "usage:\n"
    "  photolib create LIB.aplibrary\n"
    "  photolib import LIB FOLDER_OR_FILE... [--project NAME] [--reference]\n"
    "  photolib open LIB\n"
    "  photolib close\n"
    "  photolib select LIB [NAME_OR_UUID...]\n"
    "  photolib show LIB [--tags] [--keywords] [--json]\n";

// A command line that does not fit the usage.
struct UsageError {
    std::string message;
};

// The command's words after the command name: options (with their values) and operands.
struct Arguments {
    std::vector<std::string> operands;
    std::optional<std::string> project;
    bool reference = false;
    bool tags = false;
    bool keywords = false;
    bool json = false;
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
        if (word == "--project") {
            if (i + 1 == words.size())
                throw UsageError{"--project needs a name"};
            a.project = words[++i];
        }
        a.reference = a.reference || word == "--reference";
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

int import(const Arguments& a, std::ostream& out, std::ostream& err) {
    requireOperands(a, 2, std::nullopt);
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
    options.progress = [&err](size_t done, size_t total, const fs::path& file) {
        err << "[" << done << "/" << total << "] " << file.string() << "\n";
    };
    const auto imported = library.importFiles(inputs, options);
    for (const auto& v : imported)
        out << v.uuid << "  " << v.name << "  " << v.width << "x" << v.height << "  "
            << v.masterPath.string() << "\n";
    out << "Imported " << imported.size() << (imported.size() == 1 ? " image" : " images")
        << " into the project \"" << options.project << "\"" << (a.reference ? " (referenced)" : "")
        << "\n";
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

} // namespace

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
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
            constexpr std::string_view options[] = {"--project", "--reference"};
            return import(parse(words, options), out, err);
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
