#include "x11_keys.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <initializer_list>

namespace x11_keys {

bool pressReturn(unsigned long window) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        return false;
    }
    XKeyEvent key{};
    key.display = display;
    key.window = window;
    key.root = DefaultRootWindow(display);
    key.time = CurrentTime;
    key.same_screen = True;
    key.keycode = XKeysymToKeycode(display, XK_Return);
    for (const int type : {KeyPress, KeyRelease}) {
        key.type = type;
        XSendEvent(display, window, True, type == KeyPress ? KeyPressMask : KeyReleaseMask,
                   reinterpret_cast<XEvent*>(&key));
    }
    XFlush(display);
    XCloseDisplay(display);
    return true;
}

}  // namespace x11_keys
