// Desktop entries: writing ours for a moved bundle, and following the move in entries that
// pointed at the old bundle.
#include "install/DesktopEntry.h"

#include "platform/log/Log.h"
#include "platform/plist/Plist.h"

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace lumsift::install {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMainGroup = "[Desktop Entry]";

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    if (from.empty())
        return text;
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::optional<std::string> readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The key of a "Key=value" line (a localised "Key[xx]" counts as its key); empty for others.
std::string_view keyOf(std::string_view line) {
    const auto equals = line.find('=');
    if (equals == std::string_view::npos)
        return {};
    std::string_view key = line.substr(0, equals);
    if (const auto bracket = key.find('['); bracket != std::string_view::npos)
        key = key.substr(0, bracket);
    while (!key.empty() && key.back() == ' ')
        key.remove_suffix(1);
    return key;
}

// A string value with the format's escapes undone.
std::string unescapedValue(std::string_view value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's':
            text += ' ';
            break;
        case 'n':
            text += '\n';
            break;
        case 't':
            text += '\t';
            break;
        case 'r':
            text += '\r';
            break;
        default:
            text += value[i];
        }
    }
    return text;
}

// A literal % in an Exec key is written %%.
std::string withPercentsDoubled(std::string_view text) {
    return replaceAll(std::string(text), "%", "%%");
}

// One argument of an Exec key (field codes and %% as written) in double quotes, with ", `, $
// and \ escaped.
std::string quotedArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// The argument as written in an Exec key: in quotes when it holds a character the format
// reserves.
std::string execArgument(std::string_view argument) {
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    if (argument.find_first_of(kReserved) == std::string_view::npos && !argument.empty())
        return std::string(argument);
    return quotedArgument(argument);
}

// The arguments of an Exec key's value (escapes of the format undone), quotes undone, field codes
// and %% as written. nullopt when a quote is left open.
std::optional<std::vector<std::string>> execArguments(std::string_view exec) {
    std::vector<std::string> arguments;
    std::optional<std::string> current;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (current)
                arguments.push_back(std::move(*std::exchange(current, std::nullopt)));
            continue;
        }
        if (c != '"') {
            current = current.value_or("") + c;
            continue;
        }
        current = current.value_or("");
        for (++i;; ++i) {
            if (i >= exec.size())
                return std::nullopt;
            if (exec[i] == '"')
                break;
            if (exec[i] == '\\' && i + 1 < exec.size())
                ++i;
            *current += exec[i];
        }
    }
    if (current)
        arguments.push_back(std::move(*current));
    return arguments;
}

// `value` with a leading `oldPrefix` replaced by `newPrefix`; nullopt when it does not begin so.
std::optional<std::string> moved(const std::string& value, const std::string& oldPrefix,
                                 const std::string& newPrefix) {
    if (!value.starts_with(oldPrefix))
        return std::nullopt;
    return newPrefix + value.substr(oldPrefix.size());
}

// The line of an entry with Exec, TryExec or Icon moved from inside `oldBundle` to inside
// `newBundle`; nullopt when it names nothing inside the old bundle.
std::optional<std::string> movedLine(const std::string& line, const fs::path& oldBundle,
                                     const fs::path& newBundle) {
    const std::string_view key = keyOf(line);
    const auto equals = line.find('=');
    const std::string head = line.substr(0, equals + 1);
    const std::string value = unescapedValue(std::string_view(line).substr(equals + 1));
    const std::string oldInside = oldBundle.string() + "/", newInside = newBundle.string() + "/";
    if (key == "TryExec" || key == "Icon") {
        const auto path = moved(value, oldInside, newInside);
        return path ? std::optional(head + escapedValue(*path)) : std::nullopt;
    }
    if (key != "Exec")
        return std::nullopt;
    auto arguments = execArguments(value);
    if (!arguments)
        return std::nullopt;
    bool changed = false;
    std::string exec;
    for (std::string& argument : *arguments) {
        if (auto path =
                moved(argument, withPercentsDoubled(oldInside), withPercentsDoubled(newInside))) {
            argument = std::move(*path);
            changed = true;
        }
        if (!exec.empty())
            exec += ' ';
        exec += execArgument(argument);
    }
    return changed ? std::optional(head + escapedValue(exec)) : std::nullopt;
}

} // namespace

std::string bundleExecutableName(const fs::path& bundlePath) {
    std::string name = bundlePath.filename().string();
    if (name.ends_with(".app"))
        name.resize(name.size() - 4);
    if (const auto info = plist::Plist::readFile(bundlePath / "Contents/Info.plist")) {
        if (auto executable =
                plist::stringValue(plist::dictItem(info->get(), "CFBundleExecutable")))
            name = std::move(*executable);
    }
    return name;
}

std::string escapedValue(std::string_view text) {
    std::string value;
    for (const char c : text) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return value;
}

std::string execProgram(std::string_view path) {
    return escapedValue(quotedArgument(withPercentsDoubled(path)));
}

std::optional<Entry> entryForMovedBundle(const fs::path& bundlePath, const fs::path& destination) {
    const auto info = plist::Plist::readFile(bundlePath / "Contents/Info.plist");
    const auto identifier =
        info ? plist::stringValue(plist::dictItem(info->get(), "CFBundleIdentifier"))
             : std::nullopt;
    if (!identifier || identifier->empty() || identifier->find('/') != std::string::npos)
        return std::nullopt;
    const std::string fileName = *identifier + ".desktop";
    const auto bundled = readText(bundlePath / "Contents/Resources" / fileName);
    if (!bundled)
        return std::nullopt;

    const fs::path program = destination / "Contents/MacOS" / bundleExecutableName(bundlePath);
    const fs::path icon =
        fs::path("Contents/Resources/icons/hicolor/256x256/apps") / (*identifier + ".png");
    std::error_code ec;
    const bool hasIcon = fs::exists(bundlePath / icon, ec);

    std::string text;
    bool inMainGroup = false;
    for (const std::string& line : splitLines(*bundled)) {
        if (line.starts_with('['))
            inMainGroup = line == kMainGroup;
        const std::string_view key = keyOf(line);
        if (inMainGroup && key == "Exec")
            text.append("Exec=").append(execProgram(program.string())).append("\n");
        else if (inMainGroup && key == "TryExec")
            text.append("TryExec=").append(escapedValue(program.string())).append("\n");
        else if (inMainGroup && key == "Icon" && hasIcon)
            text.append("Icon=").append(escapedValue((destination / icon).string())).append("\n");
        else
            text += line + "\n";
    }
    return Entry{fileName, text};
}

bool writeEntry(const fs::path& path, std::string_view text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path partial = path.string() + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out || ::chmod(partial.c_str(), 0644) != 0)
            ec = std::make_error_code(std::errc::io_error);
    }
    if (!ec)
        fs::rename(partial, path, ec);
    if (!ec)
        return true;
    fs::remove(partial, ec);
    log::line("WARNING -- Could not write the desktop entry " + path.string());
    return false;
}

void updateEntriesPointingInto(const fs::path& folder, const fs::path& oldBundle,
                               const fs::path& newBundle) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() != ".desktop" || !it->is_regular_file())
            continue;
        const auto text = readText(it->path());
        if (!text)
            continue;
        std::string updated;
        bool changed = false;
        for (const std::string& line : splitLines(*text)) {
            const auto movedTo = movedLine(line, oldBundle, newBundle);
            changed = changed || movedTo.has_value();
            updated += movedTo.value_or(line) + "\n";
        }
        if (changed)
            writeEntry(it->path(), updated);
    }
}

} // namespace lumsift::install
