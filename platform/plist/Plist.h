// Property lists (XML or binary) through libplist: one owning handle and a few borrowed look-ups.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <plist/plist.h>

namespace lumsift::plist {

// Owns one plist_t tree and frees it when destroyed. Never copied; moved freely.
class Plist {
public:
    Plist() = default;
    // Takes ownership of `root` (may be null).
    explicit Plist(plist_t root) : root_(root) {}
    ~Plist() { reset(); }
    Plist(Plist&& other) noexcept : root_(other.release()) {}
    Plist& operator=(Plist&& other) noexcept;
    Plist(const Plist&) = delete;
    Plist& operator=(const Plist&) = delete;

    // Parses XML or binary bytes (copies what it needs). Returns nullopt when they do not parse.
    static std::optional<Plist> parse(std::string_view bytes);
    // Reads and parses a whole file. Returns nullopt when it is missing, unreadable or not a
    // property list.
    static std::optional<Plist> readFile(const std::filesystem::path& path);

    // Borrowed; valid while this object lives.
    plist_t get() const { return root_; }
    // Gives up ownership; the caller must free the tree.
    plist_t release() {
        plist_t r = root_;
        root_ = nullptr;
        return r;
    }
    void reset();

    // The XML text of the tree; empty when there is no tree.
    std::string toXml() const;

private:
    plist_t root_ = nullptr;
};

// Borrowed child of a dictionary node, or null when `dict` is not a dictionary or lacks `key`.
plist_t dictItem(plist_t dict, const char* key);
// Copy of a string node's text, or nullopt when `node` is null or not a string.
std::optional<std::string> stringValue(plist_t node);

} // namespace lumsift::plist
