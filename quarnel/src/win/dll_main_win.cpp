// quarnel.dll's entry. When the process ends, Windows has already ended every other thread,
// the log's worker among them, before the library's static objects are destroyed: joining that
// worker then never returns, so the pool is kept from being destroyed at all.
#include <windows.h>

#include "engine_log.h"

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    // reserved is non-null when the whole process ends rather than the library being unloaded.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        engine_log::abandon_worker_at_exit();
    }
    return TRUE;
}
