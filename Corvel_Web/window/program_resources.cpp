#include "program_resources.h"

#include <QtGlobal>

void loadProgramResources() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(loaded);
}

namespace {
// Also before main, for the program's window icon: any user of the resources links this file.
const bool kLoadedBeforeMain = (loadProgramResources(), true);
}  // namespace
