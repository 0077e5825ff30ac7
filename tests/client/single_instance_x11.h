// What the X server knows about a process's windows, for tests that must see a window come
// forward rather than trust the program's word for it. Xlib stays out of the tests' headers.
#pragma once

#include <QtGlobal>

namespace x11_probe {

// The viewable top-level window of the process (by _NET_WM_PID), or 0.
unsigned long viewableWindowOf(qint64 pid);
// Whether the top-level window `upper` is stacked above `lower`.
bool isStackedAbove(unsigned long upper, unsigned long lower);
// The initial state in the window's WM_HINTS: 1 normal, 3 iconic; 0 when not set.
int initialState(unsigned long window);
// Asks the window to close, as a window manager's close button does.
void requestClose(unsigned long window);

}  // namespace x11_probe
