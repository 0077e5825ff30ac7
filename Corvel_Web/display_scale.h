// The scale factor set before the application object exists, from the width of the screen.
#pragma once

#include <QByteArray>
#include <cstdint>

// max(1.0, width / 1920.0).
double scaleForWidth(uint32_t widthPixels);
// The factor as QT_SCALE_FACTOR takes it: 'g' format, 6 significant digits.
QByteArray scaleFactorText(double scale);
// Width of the default screen of the display named by DISPLAY; 0 when none is reachable.
uint32_t defaultScreenWidth();
// Sets QT_SCALE_FACTOR from the current screen and returns the factor (1.0 without a display).
double applyDisplayScale();
