// Checked by the layering test: the application above the crash reporter.
#include "app/LumsiftAppDelegate.h"
