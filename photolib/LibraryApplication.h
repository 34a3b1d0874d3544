// The photo application's stand-in: answers the scripting interface from the library package
// that `photolib open` named (see LibraryPackage).
#pragma once

#include "platform/scripting/Aperture.h"

#include <memory>
#include <string_view>

namespace lumsift::photolib {

// The bundle identifier of the application that the stand-in answers for.
inline constexpr std::string_view kLibraryApplicationBundleIdentifier = "com.apple.aperture";

// Makes the stand-in application. It finds the open library at each request, so it can be made
// before any library is open. Never null.
std::shared_ptr<scripting::ApertureApplication> makeLibraryApplication();

// Registers makeLibraryApplication for kLibraryApplicationBundleIdentifier in the scripting
// registry, replacing any application registered for it before.
void registerLibraryApplication();

} // namespace lumsift::photolib
