#include "recording_page.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <memory>

#include "Corvel_Web.h"
#include "client_test_support.h"

namespace client_test {

RecordingPage::RecordingPage(Corvel_Web& window, bool needChannel) {
    auto* view = window.findChild<QWebEngineView*>();
    m_page = view->page();
    bool loaded = false;
    auto connection =
        QObject::connect(view, &QWebEngineView::loadFinished, [&loaded](bool ok) { loaded = ok; });
    view->load(QUrl::fromLocalFile(QFileInfo(QStringLiteral(RECORDING_PAGE)).absoluteFilePath()));
    waitFor([&] { return loaded; }, std::chrono::seconds(30));
    QObject::disconnect(connection);
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
