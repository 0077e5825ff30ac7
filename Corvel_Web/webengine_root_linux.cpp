#include <unistd.h>

#include <QByteArray>
#include <QtGlobal>

#include "webengine_root.h"

namespace {
bool g_sandboxDisabled = false;
}

bool prepareWebEngineForRoot() {
    if (geteuid() != 0) {
        return false;
    }
    // The engine needs network administration rights, so the program runs as root, where
    // Chromium's sandbox refuses to start.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArray("1"));
    g_sandboxDisabled = true;
    return true;
}

void logWebEngineRootDecision() {
    if (g_sandboxDisabled) {
        qInfo("Running as root: the web view runs without its sandbox.");
    }
}
