// Checked by the layering test: the engine beside the command.
#include "engine/LumsiftForAperture.h"
