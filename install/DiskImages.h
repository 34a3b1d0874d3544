// Whether a folder lies on a mounted disk image, and the script that later detaches it. Disk images
// are loop devices here: the list that `losetup --list --json` prints is put into the shape of the
// disk-image tool's property list (a dictionary with "images", each with "system-entities", each
// with a "dev-entry") and walked.
#pragma once

#include "platform/plist/Plist.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lumsift::install {

// The device mounted where `folder` lies, from /proc/self/mountinfo. nullopt when `folder`
// lies on the same device as "/" (the root volume) or when it cannot be told.
std::optional<std::string> mountedDeviceOf(const std::string& folder);

// The loop-device list (`losetup --list --json` output, borrowed) as a property list: each loop
// device one image whose entities are the device and its partitions, listed from `sysBlock`.
// nullopt when the text is not such a list.
std::optional<plist::Plist>
imageInfoFromLoopDevices(std::string_view json,
                         const std::filesystem::path& sysBlock = "/sys/block");

// Walks `info` (borrowed; may be null) for an entity whose "dev-entry" equals `device`, images
// and entities in order. Returns that device name; nullopt when none matches or when any value
// on the way has the wrong kind (the walk stops there, later images are not looked at).
std::optional<std::string> diskImageDeviceIn(plist_t info, std::string_view device);

// `device` (a folder's device, as mountedDeviceOf gives it) when it is a loop device that
// `losetup --list --json` lists, or one of its partitions. nullopt for nullopt, when it is no
// loop device, or when losetup cannot be found or run.
std::optional<std::string> diskImageDevice(const std::optional<std::string>& device);

// The whole loop device of a partition ("/dev/loop3p1" gives "/dev/loop3"); other names as
// they are.
std::string wholeLoopDevice(std::string_view device);

// The programs that a detach may run, as absolute paths; nullopt for those not installed.
struct DetachPrograms {
    std::optional<std::filesystem::path> udisksctl, umount, losetup, logger, date;
};

// Looks them up through process::findProgram. Never fails: missing ones stay nullopt.
DetachPrograms findDetachPrograms();

// One /bin/sh command (a brace group, so that it may follow "&&") that detaches the disk image on
// the loop device `device` (or on a partition of it, as mountedDeviceOf gives it), as it stands
// when the command runs: first it unmounts each file system of the loop device and of its
// partitions that the mount table lists (`mountinfo`; the devices' numbers from `sysBlock`), each
// mount once, through `udisksctl unmount`, falling back to umount; then, while the loop device is
// still bound, it deletes it through `udisksctl loop-delete`, falling back to `losetup -d`.
// udisksctl never asks for a password; the fallbacks serve where udisks is absent or not running.
// A step that fails writes "WARNING -- Could not ..." to standard error, shaped as log::line shapes
// lines, with `logName` and `logPid`, and to syslog through logger; the tools' standard output
// goes nowhere. Every path is quoted as one word. nullopt when neither udisksctl nor umount, or
// neither udisksctl nor losetup, is in `programs`.
std::optional<std::string>
detachScript(std::string_view device, const DetachPrograms& programs, std::string_view logName,
             int logPid, const std::filesystem::path& sysBlock = "/sys/block",
             const std::filesystem::path& mountinfo = "/proc/self/mountinfo");

} // namespace lumsift::install
