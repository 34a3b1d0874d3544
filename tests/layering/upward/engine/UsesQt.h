// Checked by the layering test: Qt in the engine.
#include <QWidget>
