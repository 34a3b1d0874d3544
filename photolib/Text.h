// Text as the stand-in writes it out: names and paths, which are whatever bytes the file system
// and the library hold, made valid UTF-8 and quoted for JSON, HTML or XML.
#pragma once

#include <string>
#include <string_view>

namespace lumsift::photolib {

// `text` with every byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view text);

// `text` as a JSON string, quotes included: valid UTF-8, control characters escaped.
std::string jsonText(std::string_view text);

// `text` for HTML or XML text or a quoted attribute value: valid UTF-8, with & < > " '
// escaped.
std::string markupText(std::string_view text);

} // namespace lumsift::photolib
