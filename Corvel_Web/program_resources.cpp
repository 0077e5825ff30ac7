#include "program_resources.h"

#include <QtGlobal>

void loadProgramResources() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(loaded);
}
