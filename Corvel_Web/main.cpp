// lumar's entry point: scale, single instance, crash handlers, driver check, log, window.
#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QScreen>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Corvel_Web.h"
#include "client_engine.h"
#include "client_log.h"
#include "crash_dump.h"
#include "display_scale.h"
#include "driver_provisioning.h"
#include "host_identity.h"
#include "journal_replay.h"
#include "program_options.h"
#include "session_end.h"
#include "singleapplication.h"
#include "webengine_root.h"

namespace {

constexpr int kRaiseTimeoutMs = 5000;

void applyApplicationFont(double scale) {
    QFont font = QApplication::font();
    font.setFamily(QStringLiteral("Microsoft Yahei"));
    // Text keeps its physical size under the scale factor.
    if (font.pointSizeF() > 0) {
        font.setPointSize(static_cast<int>(std::ceil(font.pointSizeF() / scale)));
    }
    QApplication::setFont(font);
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before any display, window or other instance is looked for.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("lumar %s\n", qPrintable(builtVersion()));
        return 0;
    }
    QCoreApplication::setAttribute(Qt::AA_UseOpenGLES, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache, true);
    const double scale = applyDisplayScale();
    prepareWebEngineForRoot();

    // Lives as long as the application object, which keeps a reference to it.
    int toolkitArgc = toolkitArgumentCount(argc, argv);
    InstanceGuard::SingleApplication app(QStringLiteral("lumar"), toolkitArgc, argv);
    applyApplicationFont(scale);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/img/logo")));

    if (app.isPeerRunning()) {
        app.sendToPeer(QStringLiteral("raise_window_noop"), kRaiseTimeoutMs);
        return 0;
    }

    installCrashHandlers();
    if (!provisionTapDriver()) {
        return 1;
    }
    installClientLog();
    if (engineRunsInProcess()) {
        // A session of a killed run may have left routes, forwarding or the resolver changed.
        const int undone = replay_host_journals_logged();
        if (undone > 0) {
            qInfo("Put back %d host changes left by an ended session.", undone);
        } else if (undone < 0) {
            qWarning("Some host changes left by an ended session could not be put back.");
        }
    }
    logEngineChoice();
    logWebEngineSandbox();

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize size = windowSizeOnScreen(readProgramOptions(), available.size());

    Corvel_Web window(nullptr);
    app.setRaiseWindow(&window, true);
    installSessionEndHandling(window);
    window.setFixedSize(size);
    window.show();
    window.move((available.width() - window.width()) / 2,
                (available.height() - window.height()) / 2);
    // Libraries loaded with the window (the web engine among them) may have taken over
    // the fatal signals.
    reinstateCrashHandlers();

    return app.exec();
}
