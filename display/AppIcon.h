#pragma once
// The program's icon, the picture of the package's tx9-logger.svg (a thermometer with its
// LCD reading over a trend line), painted here so that windows need no SVG support.

#include <QIcon>

namespace AppIcon {
QIcon icon();
} // namespace AppIcon
