// Checked by the layering test: the crash reporter beside the move offer.
#include "Shared Code/KTWCrashReporter.h"
