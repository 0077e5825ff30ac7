// A hostile page beside the program, remote pages that bring their own web channel script, and
// a bridge asked to act for a page that is not the program's own: none of them reaches the
// engine, the browser or another page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QWebChannel>
#include <QWebEngineView>
#include <algorithm>
#include <functional>
#include <map>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "scripted_engine.h"
#include "security_test_util.h"
#include "window_test_util.h"

using client_test::ScriptedEngine;
using client_test::waitFor;
using namespace security_test;
using namespace window_test;

namespace {

const QString kService = QStringLiteral(
    R"({"vpnServerIp":"172.30.0.1","vpnServerPort":51820,"vpnServerPk":"00ff","dns":"10.8.0.1",)"
    R"("backupDns":"10.8.0.1","localRoutes":[],"remoteRoutes":[],"token":"stolen"})");

// A page that takes the channel the view offers and asks the bridge to connect and to open a
// link; served by the test's own site, or dropped as a file.
QByteArray bridgeCaller(const QByteArray& channelScript) {
    return "<!DOCTYPE html><html><head><title>caller</title><script src=\"" + channelScript +
           "\"></script><script>new QWebChannel(qt.webChannelTransport, function (c) {"
           " c.objects.corvel.conn('" +
           kService.toUtf8() +
           "'); c.objects.corvel.redirectTo('https://evil.example/'); });"
           "</script></head><body>caller</body></html>";
}

QByteArray qtChannelScript() {
    QFile script(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    script.open(QIODevice::ReadOnly);
    return script.readAll();
}

// Stands in for the bridge where nothing guards it, to show that the caller page works.
class RecordingBridge : public QObject {
    Q_OBJECT
  public:
    QStringList calls;
  public slots:
    void conn(QString serverInfo) { calls << QStringLiteral("conn ") + serverInfo; }
    void redirectTo(QString url) { calls << QStringLiteral("redirectTo ") + url; }
};

int countLines(const QStringList& lines, const QString& start) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const QString& l) { return l.startsWith(start); }));
}

}  // namespace

TEST(PageLock, HostilePageReachesNoBridgeSlotAndNoOtherPage) {
    LocalSite site(false);
    site.serve("/qwebchannel.js", {"application/javascript", qtChannelScript()});
    site.serve("/caller.html", {"text/html", bridgeCaller("/qwebchannel.js")});
    Response redirect;
    redirect.location = site.url("/caller.html").toUtf8();
    site.serve("/redirect", redirect);

    // The caller page does reach an unguarded object: what stops it below is the lock.
    {
        QWebEnginePage open;
        QWebChannel channel;
        RecordingBridge bridge;
        channel.registerObject(QStringLiteral("corvel"), &bridge);
        open.setWebChannel(&channel);
        open.load(QUrl(site.url("/caller.html")));
        ASSERT_TRUE(waitFor([&] { return bridge.calls.size() == 2; }, std::chrono::seconds(20)));
        EXPECT_EQ(bridge.calls.at(0), QStringLiteral("conn ") + kService);
    }
    ASSERT_EQ(site.requests().count(QStringLiteral("/caller.html")), 1);

    QTemporaryDir dropDir;
    QFile dropped(dropDir.filePath(QStringLiteral("dropped.html")));
    ASSERT_TRUE(dropped.open(QIODevice::WriteOnly));
    dropped.write(bridgeCaller("qrc:///qtwebchannel/qwebchannel.js"));
    dropped.close();

    writeProgramPage(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>hostile</title></head>"
        "<body style=\"background:#fde8e8;font:16px sans-serif\"><h1>hostile page</h1>"
        "<p id=\"out\"></p><script>window.results = {};</script></body></html>");
    OpenerRecord opened;
    ScriptedEngine engine;
    Corvel_Web window;
    // The channel offers a bridge that drives a recording engine.
    auto* channel = window.findChild<QWebChannel*>();
    channel->deregisterObject(window.findChild<Corvel*>());
    auto* bridge = new Corvel(&window, 1417, engine);
    channel->registerObject(QStringLiteral("corvel"), bridge);
    window.setFixedSize(360, 728);
    window.show();
    auto* view = window.findChild<QWebEngineView*>();
    const auto eval = [&](const QString& script) { return pageEval(view->page(), script); };
    ASSERT_TRUE(waitFor([&] { return eval(QStringLiteral("document.title")) == "hostile"; },
                        std::chrono::seconds(30)));
    const QUrl ownUrl = view->page()->url();

    LogCapture log;
    const QString caller = site.url("/caller.html");
    const QStringList attempts{
        QStringLiteral("location.href = '%1'").arg(caller),
        QStringLiteral("location.href = '%1'").arg(site.url("/redirect")),
        QStringLiteral("var a = document.createElement('a'); a.href = '%1';"
                       "document.body.appendChild(a); a.click()")
            .arg(caller),
        QStringLiteral("var f = document.createElement('form'); f.action = '%1';"
                       "document.body.appendChild(f); f.submit()")
            .arg(caller),
        QStringLiteral("window.popup = window.open('%1')").arg(caller),
        QStringLiteral("var i = document.createElement('iframe'); i.src = '%1';"
                       "document.body.appendChild(i)")
            .arg(caller),
        QStringLiteral("fetch('file:///etc/shadow').then(function (r) { return r.text(); })"
                       ".then(function (t) { results.fetch = 'read ' + t.length; },"
                       "      function () { results.fetch = 'refused'; })"),
        QStringLiteral("navigator.geolocation.getCurrentPosition("
                       "function () { results.media = 'granted'; },"
                       "function () { results.media = 'refused'; })"),
        QStringLiteral("Notification.requestPermission().then(function (p) { results.note = p; })"),
    };
    for (const QString& attempt : attempts) {
        eval(attempt + QStringLiteral("; 1"));
        QTest::qWait(300);
    }
    // A file dropped onto the page, as a file manager drops it: nothing in the view takes
    // drops, and should the content widget take them again, they end at the window.
    QWidget* content = view->focusProxy();
    ASSERT_NE(content, nullptr);
    EXPECT_FALSE(view->acceptDrops());
    for (QWidget* widget : view->findChildren<QWidget*>()) {
        EXPECT_FALSE(widget->acceptDrops()) << widget->metaObject()->className();
    }
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(dropped.fileName())});
    const QPoint centre = content->rect().center();
    const auto dropOnto = [&] {
        QDragEnterEvent enter(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(content, &enter);
        QDropEvent drop(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(content, &drop);
    };
    dropOnto();
    content->setAcceptDrops(true);
    dropOnto();

    ASSERT_TRUE(waitFor([&] {
        return eval(QStringLiteral("String(results.fetch) + ' ' + String(results.media)")) ==
               "refused refused";
    }));
    QTest::qWait(1500);  // anything that got through would have called by now
    EXPECT_EQ(eval(QStringLiteral("String(!popup || popup.closed)")).toString(),
              QStringLiteral("true"));
    EXPECT_EQ(eval(QStringLiteral("results.note")).toString(), QStringLiteral("denied"));
    EXPECT_EQ(eval(QStringLiteral("document.title")).toString(), QStringLiteral("hostile"));
    EXPECT_EQ(view->page()->url(), ownUrl);
    EXPECT_TRUE(window.showsOwnPage());
    EXPECT_TRUE(engine.starts().empty());
    EXPECT_TRUE(opened.lines().isEmpty()) << opened.lines().join('\n').toStdString();
    // Only the control's page load reached the site.
    EXPECT_EQ(site.requests().count(QStringLiteral("/caller.html")), 1);
    EXPECT_FALSE(site.requests().contains(QStringLiteral("/redirect")));

    const QStringList lines = log.all();
    EXPECT_EQ(countLines(lines, QStringLiteral("Refused navigation to ") + caller), 4)
        << lines.join('\n').toStdString();
    EXPECT_EQ(countLines(lines, QStringLiteral("Refused navigation to ") + site.url("/redirect")),
              1);
    EXPECT_EQ(countLines(lines, QStringLiteral("Refused to open a new window")), 1);
    EXPECT_EQ(countLines(lines, QStringLiteral("Refused a drop onto the window.")), 1);
    EXPECT_EQ(countLines(lines, QStringLiteral("Refused permission Geolocation")), 1);
    EXPECT_EQ(countLines(lines, QStringLiteral("Refused permission Notifications")), 1);
    EXPECT_EQ(countLines(lines, QStringLiteral("Bridge call")), 0);

    client_test::saveScreenshot(&window, QStringLiteral("page_lock_after_attacks"));
}

TEST(PageLock, BridgeActsForNoPageButTheProgramsOwn) {
    ScriptedEngine engine;
    OpenerRecord opened;
    QObject notTheWindow;
    Corvel bridge(&notTheWindow, 1417, engine);
    // Every slot the page can call, each with arguments it would act on.
    const std::map<QString, std::function<void()>> calls{
        {"conn", [&] { bridge.conn(kService); }},
        {"disconn", [&] { bridge.disconn(); }},
        {"reconn", [&] { bridge.reconn(kService); }},
        {"updateToken", [&] { bridge.updateToken(QStringLiteral("t")); }},
        {"updateLimitRate", [&] { bridge.updateLimitRate(1, 2); }},
        {"aliPayForm", [&] { bridge.aliPayForm(QStringLiteral("<p>pay</p>")); }},
        {"redirectTo", [&] { bridge.redirectTo(QStringLiteral("https://live.example/")); }},
        {"getVersionAndUuid", [&] { bridge.getVersionAndUuid(); }},
        {"ping", [&] { bridge.ping(QStringLiteral("127.0.0.1"), 9, 1); }},
        {"getPageOptions", [&] { bridge.getPageOptions(); }},
    };
    QStringList publicSlots;
    const QMetaObject& meta = Corvel::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Public) {
            publicSlots << QString::fromLatin1(method.name());
        }
    }
    EXPECT_EQ(publicSlots.size(), static_cast<int>(calls.size()));

    LogCapture log;
    for (const QString& slot : publicSlots) {
        ASSERT_TRUE(calls.count(slot)) << "a public slot without a case: " << slot.toStdString();
        calls.at(slot)();
        EXPECT_TRUE(log.contains(
            QStringLiteral("Bridge call %1 ignored: the window does not show the program's own "
                           "page.")
                .arg(slot)));
    }
    QTest::qWait(500);
    EXPECT_TRUE(engine.starts().empty());
    EXPECT_TRUE(engine.pings().empty());
    EXPECT_TRUE(engine.tokens().empty());
    EXPECT_TRUE(engine.limits().empty());
    EXPECT_TRUE(opened.lines().isEmpty());
}

#include "page_lock_test.moc"
