// The pictures and the payment template compiled into the program.
#pragma once

// Registers them; needed before the first ":/" path is used, as the static library that
// carries them would otherwise leave them out of the program. Safe to call repeatedly.
void loadProgramResources();
