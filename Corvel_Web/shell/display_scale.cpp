#include "display_scale.h"

#include <algorithm>

namespace {
constexpr double kReferenceWidth = 1920.0;
}

double scaleForWidth(uint32_t widthPixels) {
    return std::max(1.0, static_cast<double>(widthPixels) / kReferenceWidth);
}

QByteArray scaleFactorText(double scale) {
    return QByteArray::number(scale, 'g', 6);
}

double applyDisplayScale() {
    const double scale = scaleForWidth(primaryMonitorWidth());
    qputenv("QT_SCALE_FACTOR", scaleFactorText(scale));
    return scale;
}
