// Checked by the layering test: the application above the engine.
#include "app/MainInterface.h"
