// Checked by the layering test: includes that are allowed at the start-up alone.
#include "photolib/LibraryApplication.h"
#include "app/MainInterface.h"
#include <QApplication>
