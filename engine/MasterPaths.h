// Looking up a loaded image's master path by its identifier, shared by the export and the
// analysis.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift {

// The entry of `paths` at the position of the first `id` in `ids`; "" when the identifier is not
// there or has no path entry. Borrows both lists for the call.
inline std::string masterPathFor(const std::vector<std::string>& ids,
                                 const std::vector<std::string>& paths, std::string_view id) {
    const auto found = std::find(ids.begin(), ids.end(), id);
    const auto index = static_cast<std::size_t>(found - ids.begin());
    return found != ids.end() && index < paths.size() ? paths[index] : std::string();
}

} // namespace lumsift
