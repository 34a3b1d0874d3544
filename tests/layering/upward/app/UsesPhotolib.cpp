// Checked by the layering test: the stand-in outside the start-up.
#include "photolib/LibraryPackage.h"
