// Key strokes for another process's window, as the X server delivers them; Xlib stays out of
// the tests' headers.
#pragma once

namespace x11_keys {

// Sends a press and release of the Return key to the window; false without a display.
bool pressReturn(unsigned long window);

}  // namespace x11_keys
