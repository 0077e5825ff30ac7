#include "session_end.h"

#include <QGuiApplication>
#include <QtDebug>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "termination_signals.h"

// The session manager's commit request may be only a checkpoint (the user can still cancel the
// logout), so nothing ends there, and the windows are not closed for it either (Qt's fallback
// would hide the window or quit the program). When the session really ends, the session
// manager's "die" ends the event loop, and the bridge, going with the window, stops the tunnel
// before the program lets go. A termination signal does the same at once.
void installSessionEndHandling(Corvel_Web& window) {
    QGuiApplication::setFallbackSessionManagementEnabled(false);
    Corvel* bridge = window.findChild<Corvel*>();
    watchTerminationSignals(&window, [bridge] {
        qInfo("Session end or termination signal: stopping the tunnel.");
        if (bridge != nullptr) {
            bridge->stopForSessionEnd();
        }
        QCoreApplication::quit();
    });
}
