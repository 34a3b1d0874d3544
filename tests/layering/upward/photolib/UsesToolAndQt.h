// Checked by the layering test: the command above the library it fills, and Qt in the stand-in.
#include "photolib/tool/Photolib.h"
#include <QString>
