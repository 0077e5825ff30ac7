#include "recording_page.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <memory>

#include "Corvel_Web.h"
#include "client_test_support.h"

namespace client_test {

RecordingPage::RecordingPage(Corvel_Web& window, bool needChannel) {
    m_page = window.findChild<QWebEngineView*>()->page();
    // The window loads the page beside the program, which for these tests is this one.
    waitFor([&] { return evaluate(QStringLiteral("typeof calls")) == "object"; },
            std::chrono::seconds(30));
    if (needChannel) {
        waitFor([&] { return evaluate(QStringLiteral("String(corvel !== null)")) == "true"; });
    }
}

QString RecordingPage::evaluate(const QString& script) {
    auto value = std::make_shared<QString>();
    auto done = std::make_shared<bool>(false);
    m_page->runJavaScript(script, [value, done](const QVariant& result) {
        *value = result.toString();
        *done = true;
    });
    waitFor([&] { return *done; });
    return *value;
}

QStringList RecordingPage::calls() {
    QStringList list;
    const QJsonArray array =
        QJsonDocument::fromJson(evaluate(QStringLiteral("JSON.stringify(calls)")).toUtf8()).array();
    for (const auto& call : array) {
        list << call.toString();
    }
    return list;
}

bool RecordingPage::waitForCall(const QString& call, int times, std::chrono::milliseconds timeout) {
    return waitFor([&] { return calls().count(call) >= times; }, timeout);
}

void RecordingPage::clear() {
    evaluate(QStringLiteral("calls = []; ''"));
}

}  // namespace client_test
