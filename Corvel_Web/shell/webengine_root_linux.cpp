#include <unistd.h>

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>
#include <cstring>

#include "webengine_root.h"

extern char** environ;

namespace {
bool g_sandboxDisabled = false;
QStringList g_ignoredArguments;
QStringList g_ignoredVariables;

bool runningAsRoot() {
    return geteuid() == 0;
}

// What a root process keeps of the toolkit's settings: where and how large to draw. Anything
// else names code to load (plugin, process and resource paths), flags for Chromium or a
// debugging port, and is the caller's choice, not root's.
constexpr const char* kRootKeptVariables[] = {
    "QT_SCALE_FACTOR",
    "QT_SCREEN_SCALE_FACTORS",
    "QT_AUTO_SCREEN_SCALE_FACTOR",
    "QT_ENABLE_HIGHDPI_SCALING",
    "QT_FONT_DPI",
};
// Platforms that draw on the user's own display; others (vnc) would serve the window to the
// network.
constexpr const char* kRootPlatforms[] = {"xcb", "wayland", "offscreen"};

bool listed(const QByteArray& value, const char* const* begin, const char* const* end) {
    for (const char* const* entry = begin; entry != end; ++entry) {
        if (value == *entry) {
            return true;
        }
    }
    return false;
}

bool keptForRoot(const QByteArray& name, const QByteArray& value) {
    if (name == "QT_QPA_PLATFORM") {
        return listed(value, std::begin(kRootPlatforms), std::end(kRootPlatforms));
    }
    return listed(name, std::begin(kRootKeptVariables), std::end(kRootKeptVariables));
}

// Names of the toolkit's variables (QT*, which takes in QTWEBENGINE*) root does not keep.
QList<QByteArray> toolkitVariablesToClear() {
    QList<QByteArray> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals == nullptr || std::strncmp(*entry, "QT", 2) != 0) {
            continue;
        }
        const QByteArray name(*entry, static_cast<int>(equals - *entry));
        if (!keptForRoot(name, QByteArray(equals + 1))) {
            names.append(name);
        }
    }
    return names;
}
}  // namespace

int toolkitArgumentCount(int argc, char** argv) {
    if (!runningAsRoot() || argc <= 1) {
        return argc;
    }
    for (int i = 1; i < argc; ++i) {
        g_ignoredArguments.append(QString::fromLocal8Bit(argv[i]));
    }
    return 1;
}

bool prepareWebEngineForRoot() {
    if (!runningAsRoot()) {
        return false;
    }
    for (const QByteArray& name : toolkitVariablesToClear()) {
        g_ignoredVariables.append(QString::fromLatin1(name));
        qunsetenv(name.constData());
    }
    // The engine needs network administration rights, so the program runs as root, where
    // Chromium's sandbox refuses to start.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", QByteArray("1"));
    g_sandboxDisabled = true;
    return true;
}

void logWebEngineSandbox() {
    if (g_sandboxDisabled) {
        qInfo("Running as root: the web view runs without its sandbox.");
    } else if (qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX") ||
               qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").contains("--no-sandbox")) {
        qWarning("The environment switches the web view's sandbox off.");
    } else {
        qInfo("The web view runs in its sandbox.");
    }
    if (!g_ignoredArguments.isEmpty()) {
        qWarning("Running as root: ignored the command line's arguments %s.",
                 qPrintable(g_ignoredArguments.join(QLatin1Char(' '))));
    }
    if (!g_ignoredVariables.isEmpty()) {
        qWarning("Running as root: ignored the environment's %s.",
                 qPrintable(g_ignoredVariables.join(QStringLiteral(", "))));
    }
}
