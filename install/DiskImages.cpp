// Disk images as loop devices: the mounted device of a folder, the loop-device list in the
// disk-image tool's shape, the walk that finds the folder's device in it, and the detach script.
#include "install/DiskImages.h"

#include "install/MoveToApplicationsFolder.h"
#include "platform/process/Process.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

namespace lumsift::install {
namespace {

// mountinfo writes space, tab, newline and backslash in names as \ooo octal escapes.
std::string unescapeMountField(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const bool octal = field[i] == '\\' && i + 3 < field.size() &&
                           std::all_of(field.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                       field.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                                       [](char c) { return c >= '0' && c <= '7'; });
        if (!octal) {
            text += field[i];
            continue;
        }
        text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                  (field[i + 3] - '0'));
        i += 3;
    }
    return text;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

// The partitions of one loop device ("loop3p1", ...) as /sys/block lists them, sorted.
std::vector<std::string> partitionsOf(const std::string& deviceName,
                                      const std::filesystem::path& sysBlock) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(sysBlock / deviceName, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(deviceName + "p"))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

plist_t entity(const std::string& devEntry) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "dev-entry", plist_new_string(devEntry.c_str()));
    return dict;
}

} // namespace

std::optional<std::string> mountedDeviceOf(const std::string& folder) {
    struct stat folderStat {};
    struct stat rootStat {};
    if (::stat(folder.c_str(), &folderStat) != 0 || ::stat("/", &rootStat) != 0)
        return std::nullopt;
    if (folderStat.st_dev == rootStat.st_dev)
        return std::nullopt;

    const std::string wanted =
        std::to_string(major(folderStat.st_dev)) + ":" + std::to_string(minor(folderStat.st_dev));
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        // id parent major:minor root mount-point options [optional fields] - type source options
        const auto fields = words(line);
        const auto separator = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 3 || fields[2] != wanted || std::distance(separator, fields.end()) < 3)
            continue;
        return unescapeMountField(*(separator + 2));
    }
    return std::nullopt;
}

std::optional<plist::Plist> imageInfoFromLoopDevices(std::string_view json,
                                                     const std::filesystem::path& sysBlock) {
    const auto document =
        QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())));
    if (!document.isObject() || !document.object().value("loopdevices").isArray())
        return std::nullopt;

    plist::Plist root(plist_new_dict());
    plist_t images = plist_new_array();
    plist_dict_set_item(root.get(), "images", images);
    for (const auto& value : document.object().value("loopdevices").toArray()) {
        plist_t image = plist_new_dict();
        plist_array_append_item(images, image);
        const QString name = value.toObject().value("name").toString();
        if (name.isEmpty())
            continue; // no entities: the walk stops here, as at any value of the wrong kind
        const QString backFile = value.toObject().value("back-file").toString();
        if (!backFile.isEmpty())
            plist_dict_set_item(image, "image-path",
                                plist_new_string(backFile.toUtf8().constData()));
        plist_t entities = plist_new_array();
        plist_dict_set_item(image, "system-entities", entities);
        const std::string device = name.toStdString();
        plist_array_append_item(entities, entity(device));
        const std::string deviceName = std::filesystem::path(device).filename().string();
        for (const auto& partition : partitionsOf(deviceName, sysBlock))
            plist_array_append_item(entities, entity("/dev/" + partition));
    }
    return root;
}

std::optional<std::string> diskImageDeviceIn(plist_t info, std::string_view device) {
    const plist_t images = plist::dictItem(info, "images");
    if (images == nullptr || plist_get_node_type(images) != PLIST_ARRAY)
        return std::nullopt;
    for (uint32_t i = 0; i < plist_array_get_size(images); ++i) {
        const plist_t image = plist_array_get_item(images, i);
        const plist_t entities = plist::dictItem(image, "system-entities");
        if (entities == nullptr || plist_get_node_type(entities) != PLIST_ARRAY)
            return std::nullopt;
        for (uint32_t j = 0; j < plist_array_get_size(entities); ++j) {
            const auto devEntry =
                plist::stringValue(plist::dictItem(plist_array_get_item(entities, j), "dev-entry"));
            if (!devEntry)
                return std::nullopt;
            if (*devEntry == device)
                return *devEntry;
        }
    }
    return std::nullopt;
}

std::optional<std::string> diskImageDevice(const std::optional<std::string>& device) {
    if (!device)
        return std::nullopt;
    const auto losetup = process::findProgram("losetup");
    if (!losetup)
        return std::nullopt;
    // The exit status is not looked at: output that does not parse means no disk image.
    const auto output = process::runAndCapture({*losetup, {"--list", "--json"}});
    if (!output)
        return std::nullopt;
    const auto info = imageInfoFromLoopDevices(output->standardOutput);
    if (!info)
        return std::nullopt;
    return diskImageDeviceIn(info->get(), *device);
}

std::string wholeLoopDevice(std::string_view device) {
    constexpr std::string_view prefix = "/dev/loop";
    if (!device.starts_with(prefix))
        return std::string(device);
    const auto p = device.find('p', prefix.size());
    if (p == std::string_view::npos || p == prefix.size())
        return std::string(device);
    return std::string(device.substr(0, p));
}

DetachPrograms findDetachPrograms() {
    return {process::findProgram("udisksctl"), process::findProgram("umount"),
            process::findProgram("losetup"), process::findProgram("logger"),
            process::findProgram("date")};
}

std::optional<std::string> detachScript(std::string_view device, const DetachPrograms& programs,
                                        std::string_view logName, int logPid,
                                        const std::filesystem::path& sysBlock,
                                        const std::filesystem::path& mountinfo) {
    const auto quoted = [](const std::filesystem::path& path) {
        return QuoteForShell(path.string());
    };
    // Each step tries udisksctl first, then its fallback.
    std::vector<std::string> unmount, remove;
    if (programs.udisksctl) {
        unmount.push_back(quoted(*programs.udisksctl) + " unmount --no-user-interaction -b \"$m\"");
        remove.push_back(quoted(*programs.udisksctl) + " loop-delete --no-user-interaction -b ");
    }
    if (programs.umount)
        unmount.push_back(quoted(*programs.umount) + " \"$m\"");
    if (programs.losetup)
        remove.push_back(quoted(*programs.losetup) + " -d ");
    if (unmount.empty() || remove.empty())
        return std::nullopt;

    const std::filesystem::path loopDevice = wholeLoopDevice(device);
    const std::filesystem::path block = sysBlock / loopDevice.filename();
    const std::string name = QuoteForShell(logName);
    const std::string id = std::to_string(logPid);

    // From "/", so that the shell itself keeps no file system of the image busy. The warning as
    // log::line writes it: stamp, name[pid], text; and to syslog.
    std::string script = "{ cd / || :; warn() { printf '";
    if (programs.date)
        script +=
            "%s %s[%s] %s\\n' \"$(" + quoted(*programs.date) + " '+%Y-%m-%d %H:%M:%S.%3N')\" ";
    else
        script += "%s[%s] %s\\n' ";
    script += name + " " + id + " \"$1\" >&2";
    if (programs.logger)
        script += "; " + quoted(*programs.logger) + " -t " + name + " --id=" + id +
                  " -- \"$1\" >/dev/null 2>&1";
    script += "; }; ";

    // The mounts are read now, not when the move ran: they may have changed since.
    script += "set --; for d in " + quoted(block) + " " + quoted(block / loopDevice.filename()) +
              "p*; do [ -r \"$d/dev\" ] && read -r n <\"$d/dev\" || continue; "
              "while read -r a b m c; do [ \"$m\" != \"$n\" ] || set -- \"$@\" " +
              quoted(loopDevice.parent_path()) + "/\"${d##*/}\"; done <" + quoted(mountinfo) +
              "; done; ";
    std::string unmountChain, removeChain;
    for (const auto& command : unmount)
        unmountChain += (unmountChain.empty() ? "" : " || ") + command;
    for (const auto& command : remove)
        removeChain += (removeChain.empty() ? "" : " || ") + command + quoted(loopDevice);
    script += "for m; do { " + unmountChain +
              "; } >/dev/null || warn \"WARNING -- Could not unmount $m\"; done; ";
    // A loop device still busy after a failed unmount is only marked to go once it is free.
    script += "[ ! -d " + quoted(block / "loop") + " ] || { " + removeChain +
              "; } >/dev/null || warn \"WARNING -- Could not detach the disk image \"" +
              quoted(loopDevice) + "; }";
    return script;
}

} // namespace lumsift::install
