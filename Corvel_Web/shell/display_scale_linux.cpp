#include "display_scale.h"

// Xlib's macros clash with Qt's names: it comes after every Qt header.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace {

// RandR 1.5 lists monitors, also those a screen spanning several outputs is made of.
bool hasMonitorList(Display* display) {
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    return XRRQueryExtension(display, &eventBase, &errorBase) &&
           XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
}

// The primary monitor's width, or the first monitor's where none is primary (Qt then takes
// the first for its primary screen too); 0 when the server lists none.
int primaryMonitorWidthOf(Display* display) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    if (monitors == nullptr) {
        return 0;
    }
    int width = count > 0 ? monitors[0].width : 0;
    for (int i = 0; i < count; ++i) {
        if (monitors[i].primary) {
            width = monitors[i].width;
        }
    }
    XRRFreeMonitors(monitors);
    return width;
}

}  // namespace

uint32_t primaryMonitorWidth() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return 0;
    }
    int width = hasMonitorList(display) ? primaryMonitorWidthOf(display) : 0;
    if (width <= 0) {
        width = DisplayWidth(display, DefaultScreen(display));
    }
    XCloseDisplay(display);
    return width > 0 ? static_cast<uint32_t>(width) : 0;
}
