// Checked by the layering test: includes that are allowed.
#include "platform/log/Log.h"
#include <QSettings>
