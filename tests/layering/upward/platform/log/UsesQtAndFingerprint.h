// Checked by the layering test: Qt and the fingerprints in a platform layer.
#include <QtCore/QString>
#include "fingerprint/Lumsift.h"
