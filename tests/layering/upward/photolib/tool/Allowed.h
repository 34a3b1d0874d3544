// Checked by the layering test: includes that are allowed.
#include "photolib/LibraryPackage.h"
#include "fingerprint/DecoderChoice.h"
#include "platform/vips/Vips.h"
