// The photo application's stand-in: answers the scripting interface from the library package
// that `photolib open` named (see LibraryPackage).
#pragma once

#include "platform/scripting/Aperture.h"

#include <memory>

namespace lumsift::photolib {

// Makes the stand-in application. It finds the open library at each request, so it can be made
// before any library is open. Never null.
std::shared_ptr<scripting::ApertureApplication> makeLibraryApplication();

// Registers makeLibraryApplication in the scripting registry for the photo application's bundle
// identifier (scripting::kApertureBundleIdentifier), replacing any application registered for it
// before.
void registerLibraryApplication();

} // namespace lumsift::photolib
