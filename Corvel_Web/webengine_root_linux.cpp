#include <unistd.h>

#include <QByteArray>
#include <QtGlobal>

#include "webengine_root.h"

namespace {
bool g_sandboxDisabled = false;

// Settings a root web view must not take from whoever set up its environment: a debugging port
// would hand the page to any local user, the others choose the code it loads and how it runs.
constexpr const char* kRootIgnoredVariables[] = {
    "QTWEBENGINE_REMOTE_DEBUGGING", "QTWEBENGINE_CHROMIUM_FLAGS", "QTWEBENGINE_PROCESS_PATH",
    "QTWEBENGINE_RESOURCES_PATH",   "QTWEBENGINE_LOCALES_PATH",   "QT_PLUGIN_PATH",
    "QT_QPA_PLATFORM_PLUGIN_PATH",
};
}  // namespace

bool prepareWebEngineForRoot() {
    if (geteuid() != 0) {
        return false;
    }
    // The engine needs network administration rights, so the program runs as root, where
    // Chromium's sandbox refuses to start.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArray("1"));
    for (const char* name : kRootIgnoredVariables) {
        qunsetenv(name);
    }
    g_sandboxDisabled = true;
    return true;
}

void logWebEngineSandbox() {
    if (g_sandboxDisabled) {
        qInfo(
            "Running as root: the web view runs without its sandbox, and without the web "
            "engine's debugging, flag and path settings of the environment.");
    } else if (qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX") ||
               qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").contains("--no-sandbox")) {
        qWarning("The environment switches the web view's sandbox off.");
    } else {
        qInfo("The web view runs in its sandbox.");
    }
}
