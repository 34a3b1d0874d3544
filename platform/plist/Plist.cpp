// Property lists through libplist.
#include "platform/plist/Plist.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>

namespace lumsift::plist {

Plist& Plist::operator=(Plist&& other) noexcept {
    if (this != &other) {
        reset();
        root_ = other.release();
    }
    return *this;
}

void Plist::reset() {
    if (root_ != nullptr)
        plist_free(root_);
    root_ = nullptr;
}

std::optional<Plist> Plist::parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (root == nullptr)
        return std::nullopt;
    return Plist(root);
}

std::optional<Plist> Plist::readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(bytes);
}

std::string Plist::toXml() const {
    if (root_ == nullptr)
        return {};
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root_, &xml, &length);
    if (xml == nullptr)
        return {};
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

plist_t dictItem(plist_t dict, const char* key) {
    if (dict == nullptr || plist_get_node_type(dict) != PLIST_DICT)
        return nullptr;
    return plist_dict_get_item(dict, key);
}

std::optional<std::string> stringValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (value == nullptr)
        return std::nullopt;
    std::string text(value);
    std::free(value);
    return text;
}

} // namespace lumsift::plist
