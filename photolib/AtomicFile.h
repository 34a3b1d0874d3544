// Files that readers always see whole, the old or the new: the text goes into a temporary file of
// a unique name (so that writers never share one), is synced, and is renamed over the file.
#pragma once

#include <filesystem>
#include <string_view>

namespace lumsift::photolib {

// Replaces `file` with `text` whole, through a temporary file in `temporaryFolder` (beside `file`
// when empty), which must lie on the file system of `file`. Throws ScriptingError "WriteFailed"
// when it cannot be written; no temporary file is left then.
void writeFileAtomically(const std::filesystem::path& file, std::string_view text,
                         const std::filesystem::path& temporaryFolder = {});

} // namespace lumsift::photolib
