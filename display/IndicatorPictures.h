#pragma once
// The two little pictures of the data indicator: a PC and a meter, its display dark or lit.

#include <QPixmap>

namespace IndicatorPictures {
QPixmap pcAndMeter(bool displayLit); // 25 x 24
}
