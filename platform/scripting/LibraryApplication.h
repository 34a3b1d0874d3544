// The photo application's stand-in: answers the scripting interface from the library package
// that `photolib open` named (see LibraryPackage).
#pragma once

#include "platform/scripting/Aperture.h"

namespace lumsift::scripting {

// Makes the stand-in application. It finds the open library at each request, so it can be made
// before any library is open. Never null.
std::shared_ptr<ApertureApplication> makeLibraryApplication();

} // namespace lumsift::scripting
