// A page in the program's window that records every call the program makes into it, and
// reaches the bridge over the window's real web channel.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>

class Corvel_Web;
class QWebEnginePage;

namespace client_test {

class RecordingPage {
  public:
    // Waits until the window shows the recording page, which lies beside the test program as
    // its "index.html" (and, with `needChannel`, until the bridge is reachable as `corvel`).
    explicit RecordingPage(Corvel_Web& window, bool needChannel = false);

    // The calls so far, e.g. "onConnected()" or "toast(还未连接！)".
    QStringList calls();
    // Waits until `call` has been recorded `times` times.
    bool waitForCall(const QString& call, int times = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15));
    void clear();
    // Runs a script in the page and returns its value as text (waits for it).
    QString evaluate(const QString& script);

  private:
    QWebEnginePage* m_page = nullptr;
};

}  // namespace client_test
