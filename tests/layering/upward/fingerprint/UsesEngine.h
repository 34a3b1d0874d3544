// Checked by the layering test: the engine above the fingerprints.
#include "engine/Pages.h"
