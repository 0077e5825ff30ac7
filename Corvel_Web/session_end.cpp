#include "session_end.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QtDebug>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "termination_signals.h"

void installSessionEndHandling(Corvel_Web& window) {
    Corvel* bridge = window.findChild<Corvel*>();
    const auto endSession = [bridge] {
        qInfo("Session end or termination signal: stopping the tunnel.");
        if (bridge != nullptr) {
            bridge->stopForSessionEnd();
        }
        QCoreApplication::quit();
    };
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, &window,
                     [endSession](QSessionManager&) { endSession(); });
    watchTerminationSignals(&window, endSession);
}
