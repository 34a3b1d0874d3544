// Placeholder until the library-package stand-in lands.
#include "platform/scripting/LibraryApplication.h"

namespace lumsift::scripting {
std::shared_ptr<ApertureApplication> makeLibraryApplication() { return nullptr; }
} // namespace lumsift::scripting
