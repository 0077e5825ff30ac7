// The scale factor set before the application object exists, from the width of the primary
// monitor.
#pragma once

#include <QByteArray>
#include <cstdint>

// max(1.0, width / 1920.0).
double scaleForWidth(uint32_t widthPixels);
// The factor as QT_SCALE_FACTOR takes it: 'g' format, 6 significant digits.
QByteArray scaleFactorText(double scale);
// Width of the primary monitor of the display named by DISPLAY (not of the X screen, which
// spans every monitor); 0 when no display is reachable.
uint32_t primaryMonitorWidth();
// Sets QT_SCALE_FACTOR from the primary monitor and returns the factor (1.0 without a display).
double applyDisplayScale();
