// Helpers shared by the window, bridge and update tests.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <functional>
#include <mutex>

#include "client_test_support.h"

namespace window_test {

// Runs a script in the page and waits for its value.
inline QVariant pageEval(QWebEnginePage* page, const QString& script) {
    QVariant result;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
    });
    client_test::waitFor([&] { return done; });
    return result;
}

// Collects the process's log messages while it lives (other threads included).
class LogCapture {
  public:
    LogCapture() {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    bool contains(const QString& text) const {
        std::lock_guard<std::mutex> lock(mutex());
        return lines().contains(text);
    }
    QStringList all() const {
        std::lock_guard<std::mutex> lock(mutex());
        return lines();
    }

  private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& msg) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().append(msg);
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static QStringList& lines() {
        static QStringList l;
        return l;
    }
    QtMessageHandler m_previous = nullptr;
};

// What a modal message box showed before the watcher pressed one of its buttons.
struct SeenBox {
    int count = 0;
    QString title;
    QString text;
    QStringList buttons;
};

// Watches for application-modal message boxes (they run their own event loop, so the test's
// own loop is blocked) and answers each with the button labelled `answer`.
class MessageBoxAnswerer {
  public:
    explicit MessageBoxAnswerer(const QString& answer, std::function<void()> onSeen = {})
        : m_answer(answer), m_onSeen(std::move(onSeen)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start(50);
    }
    const SeenBox& seen() const { return m_seen; }

  private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        ++m_seen.count;
        m_seen.title = box->windowTitle();
        m_seen.text = box->text();
        m_seen.buttons.clear();
        QAbstractButton* answer = nullptr;
        for (QAbstractButton* button : box->buttons()) {
            m_seen.buttons.append(button->text());
            if (button->text() == m_answer) {
                answer = button;
            }
        }
        if (m_onSeen) {
            m_onSeen();
        }
        if (answer != nullptr) {
            answer->click();
        }
    }

    QString m_answer;
    std::function<void()> m_onSeen;
    SeenBox m_seen;
    QTimer m_timer;
};

// Waits until the page has its channel object.
inline bool waitForBridge(QWebEngineView* view) {
    return client_test::waitFor(
        [&] {
            return pageEval(view->page(),
                            QStringLiteral("typeof corvel !== 'undefined' && corvel !== null"))
                .toBool();
        },
        std::chrono::seconds(30));
}

}  // namespace window_test
