#include "display_scale.h"

// Xlib's macros clash with Qt's names: it comes after every Qt header.
#include <X11/Xlib.h>

uint32_t defaultScreenWidth() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return 0;
    }
    const int width = DisplayWidth(display, DefaultScreen(display));
    XCloseDisplay(display);
    return width > 0 ? static_cast<uint32_t>(width) : 0;
}
