#pragma once

#include <QColor>
#include <QImage>

namespace ks {

// The program's icon, drawn in code: a bright green (or the given colour's) disc with a black rim, two black eyes
// and a black smile, transparent outside the disc. At 16 pixels it is drawn pixel-exact for
// the notification area; larger sizes are smoothed (desktop entry, package).
QImage drawSmiley(int size, const QColor& face = QColor(0, 255, 0));

} // namespace ks
