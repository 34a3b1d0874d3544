// How the library package's code fails: a ScriptingError whose kind names the failure
// ("WriteFailed", "NoLibrary", ...) and whose message says what went wrong.
#pragma once

#include "platform/scripting/Aperture.h"

#include <string>

namespace lumsift::photolib {

// Throws ScriptingError(kind, message); never returns.
[[noreturn]] inline void fail(std::string kind, const std::string& message) {
    throw scripting::ScriptingError(std::move(kind), message);
}

} // namespace lumsift::photolib
