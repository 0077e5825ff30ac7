#include "build_settings.h"

namespace build_settings {

const char* const openerProgram = LUMAR_OPENER;
const char* const updateOrigins = LUMAR_UPDATE_ORIGINS;
const char* const updatePublicKey = LUMAR_UPDATE_PUBLIC_KEY;
const qint64 updateMaxBytes = LUMAR_UPDATE_MAX_BYTES;
const char* const installDirectory = LUMAR_INSTALL_DIR;

}  // namespace build_settings
