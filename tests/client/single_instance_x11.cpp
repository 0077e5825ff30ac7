#include "single_instance_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace x11_probe {

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr openDisplay() {
    return DisplayPtr(XOpenDisplay(nullptr));
}

long windowPid(Display* display, Window window) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data && count == 1 && format == 32) {
        pid = *reinterpret_cast<long*>(data);
    }
    if (data) {
        XFree(data);
    }
    return pid;
}

// The root's children, from the bottom of the stack to the top.
std::vector<Window> topLevels(Display* display) {
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    XQueryTree(display, DefaultRootWindow(display), &rootReturn, &parent, &children, &count);
    std::vector<Window> windows(children, children + count);
    if (children) {
        XFree(children);
    }
    return windows;
}

}  // namespace

unsigned long viewableWindowOf(qint64 pid) {
    DisplayPtr display = openDisplay();
    if (!display) {
        return 0;
    }
    for (const Window window : topLevels(display.get())) {
        XWindowAttributes attributes;
        if (windowPid(display.get(), window) == pid &&
            XGetWindowAttributes(display.get(), window, &attributes) &&
            attributes.map_state == IsViewable) {
            return window;
        }
    }
    return 0;
}

bool isStackedAbove(unsigned long upper, unsigned long lower) {
    DisplayPtr display = openDisplay();
    if (!display) {
        return false;
    }
    const std::vector<Window> windows = topLevels(display.get());
    const auto upperAt = std::find(windows.begin(), windows.end(), upper);
    const auto lowerAt = std::find(windows.begin(), windows.end(), lower);
    return upperAt != windows.end() && lowerAt != windows.end() && upperAt > lowerAt;
}

int initialState(unsigned long window) {
    DisplayPtr display = openDisplay();
    if (!display) {
        return 0;
    }
    XWMHints* hints = XGetWMHints(display.get(), window);
    int state = 0;
    if (hints) {
        if (hints->flags & StateHint) {
            state = hints->initial_state;
        }
        XFree(hints);
    }
    return state;
}

void requestClose(unsigned long window) {
    DisplayPtr display = openDisplay();
    if (!display) {
        return;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display.get(), window, False, NoEventMask, &event);
    XFlush(display.get());
}

}  // namespace x11_probe
