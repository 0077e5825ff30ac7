// The frameless window: its title bar and buttons, dragging, the tray look, and the two ways
// it ends the program (a crashed page renderer, closing without a system tray).
#include <gtest/gtest.h>
#include <signal.h>

#include <QEventLoop>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWebEngineView>

#include "Corvel_Web.h"
#include "PushButton.h"
#include "TitleWidget.h"
#include "window_test_util.h"

using client_test::waitFor;
using namespace window_test;

namespace {

struct TitleButtons {
    QPushButton* min = nullptr;
    QPushButton* close = nullptr;
};

TitleButtons buttonsOf(TitleWidget& title) {
    const auto buttons = title.findChildren<QPushButton*>();
    EXPECT_EQ(buttons.size(), 2);
    TitleButtons found;
    found.min = buttons.at(0);
    found.close = buttons.at(1);
    if (found.min->x() > found.close->x()) {
        std::swap(found.min, found.close);
    }
    return found;
}

// The close pictures have opaque backgrounds: red when hovered, dark red when pressed.
QColor cornerColour(QPushButton* button) {
    return button->grab().toImage().pixelColor(2, 2);
}

void sendMove(QWidget* target, const QPoint& localPos) {
    QMouseEvent move(QEvent::MouseMove, localPos, target->mapToGlobal(localPos), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
}

}  // namespace

TEST(TitleBar, ButtonsClickOnlyOnALeftPressReleasedInside) {
    TitleWidget title(nullptr);
    title.resize(360, 28);
    title.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&title));
    EXPECT_EQ(title.height(), 28);
    const TitleButtons b = buttonsOf(title);
    EXPECT_EQ(b.min->size(), QSize(27, 22));
    EXPECT_EQ(b.close->size(), QSize(27, 22));
    EXPECT_GT(b.close->x(), 300) << "the buttons sit at the right end";

    QSignalSpy showMin(&title, &TitleWidget::showMin);
    QSignalSpy closeWidget(&title, &TitleWidget::closeWidget);

    // Inside: exactly one showMin.
    QTest::mousePress(b.min, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseRelease(b.min, Qt::LeftButton, {}, QPoint(12, 11));
    EXPECT_EQ(showMin.count(), 1);
    EXPECT_EQ(closeWidget.count(), 0);

    // Released outside: nothing, and a later right click does not complete the old press.
    QTest::mousePress(b.close, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(cornerColour(b.close), QColor("#a30d19"));
    QTest::mouseRelease(b.close, Qt::LeftButton, {}, QPoint(-40, 10));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(b.close, &leave);
    EXPECT_NE(cornerColour(b.close), QColor("#a30d19"));
    EXPECT_NE(cornerColour(b.close), QColor("#e81123"));
    QTest::mousePress(b.close, Qt::RightButton, {}, QPoint(10, 10));
    QTest::mouseRelease(b.close, Qt::RightButton, {}, QPoint(10, 10));
    EXPECT_EQ(closeWidget.count(), 0);
    EXPECT_NE(cornerColour(b.close), QColor("#a30d19")) << "a right press shows no pressed look";

    // A click inside leaves the hover picture.
    QTest::mousePress(b.close, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(b.close, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(closeWidget.count(), 1);
    EXPECT_EQ(cornerColour(b.close), QColor("#e81123"));
    EXPECT_EQ(showMin.count(), 1);
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_window = std::make_unique<Corvel_Web>(nullptr);
        m_window->setFixedSize(360, 728);
        m_window->move(100, 100);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
    }
    QWebEngineView* view() const { return m_window->findChild<QWebEngineView*>(); }

    std::unique_ptr<Corvel_Web> m_window;
};

TEST_F(WindowTest, TitleBarDragsTheWindowWithTheLeftButtonOnly) {
    auto* title = m_window->findChild<TitleWidget*>();
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->geometry(), QRect(0, 0, 360, 28));
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("lumar"));
    EXPECT_TRUE(m_window->windowFlags() & Qt::FramelessWindowHint);
    ASSERT_TRUE(waitFor([&] { return m_window->pos() == QPoint(100, 100); }));

    const QPoint grip(180, 14);  // the empty middle of the bar
    QTest::mousePress(title, Qt::RightButton, {}, grip);
    sendMove(title, grip + QPoint(50, 50));
    QTest::mouseRelease(title, Qt::RightButton, {}, grip + QPoint(50, 50));
    QTest::qWait(100);
    EXPECT_EQ(m_window->pos(), QPoint(100, 100)) << "a right-button press dragged";

    QTest::mousePress(title, Qt::LeftButton, {}, grip);
    sendMove(title, grip + QPoint(40, 30));
    EXPECT_TRUE(waitFor([&] { return m_window->pos() == QPoint(140, 130); }))
        << "window at " << m_window->pos().x() << "," << m_window->pos().y();
    QTest::mouseRelease(title, Qt::LeftButton, {}, grip);

    sendMove(title, grip + QPoint(20, 20));
    QTest::qWait(100);
    EXPECT_EQ(m_window->pos(), QPoint(140, 130)) << "moved after the release";
}

TEST_F(WindowTest, TrayLookFollowsTheConnection) {
    auto* tray = m_window->findChild<QSystemTrayIcon*>();
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Orvane（未连接）"));
    const auto pictureOf = [](const QIcon& icon) { return icon.pixmap(64, 64).toImage(); };
    EXPECT_EQ(pictureOf(tray->icon()), pictureOf(QIcon(QStringLiteral(":/img/logo"))));

    m_window->updateConnectionLook(true);
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Orvane（已连接）"));
    EXPECT_EQ(pictureOf(tray->icon()), pictureOf(QIcon(QStringLiteral(":/img/logo_connected"))));

    m_window->updateConnectionLook(false);
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Orvane（未连接）"));
    const QMenu* menu = tray->contextMenu();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions().at(0)->text(), QStringLiteral("退出"));
}

TEST_F(WindowTest, TrayActivationBringsTheWindowBack) {
    const auto activate = [&](QSystemTrayIcon::ActivationReason reason) {
        ASSERT_TRUE(QMetaObject::invokeMethod(m_window.get(), "on_sysTrayIconActived",
                                              Q_ARG(QSystemTrayIcon::ActivationReason, reason)));
    };
    m_window->hide();
    activate(QSystemTrayIcon::Context);
    EXPECT_FALSE(m_window->isVisible());
    activate(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(m_window->isVisible());

    m_window->showMinimized();
    ASSERT_TRUE(waitFor([&] { return m_window->isMinimized(); }));
    activate(QSystemTrayIcon::MiddleClick);
    EXPECT_TRUE(m_window->isMinimized());
    activate(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(waitFor([&] { return !m_window->isMinimized(); }));

    m_window->hide();
    ASSERT_TRUE(QMetaObject::invokeMethod(m_window.get(), "on_sysTrayMessageClicked"));
    EXPECT_TRUE(m_window->isVisible());
}

// A hidden window lives on in the tray: a dialog closed meanwhile (the update question's
// "否", say) must not end the program with the tunnel.
TEST_F(WindowTest, ClosingADialogWhileTheWindowIsHiddenKeepsTheProgram) {
    m_window->hide();
    MessageBoxAnswerer answerer(QStringLiteral("否"));
    QTimer::singleShot(0, [] {
        QMessageBox question(QMessageBox::Question, QStringLiteral("软件升级"),
                             QStringLiteral("下载完成，现在就更新吗？"),
                             QMessageBox::Yes | QMessageBox::No);
        question.button(QMessageBox::No)->setText(QStringLiteral("否"));
        question.exec();
    });
    QTimer::singleShot(3000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QApplication::exec(), 1) << "closing the dialog ended the program";
    EXPECT_EQ(answerer.seen().count, 1);
}

// The two tests below end the application's event loops for the rest of the process: each
// runs in a process of its own (see the CMake list).
TEST_F(WindowTest, QuitRenderProcessCrashShowsTheErrorAndQuits) {
    ASSERT_TRUE(waitForBridge(view()));
    const qint64 renderer = view()->page()->renderProcessPid();
    ASSERT_GT(renderer, 0);

    LogCapture log;
    MessageBoxAnswerer answerer(QStringLiteral("OK"));
    QEventLoop loop;
    QTimer::singleShot(0, [renderer] { ::kill(static_cast<pid_t>(renderer), SIGKILL); });
    QTimer::singleShot(30000, [&] { loop.exit(1); });
    EXPECT_EQ(loop.exec(), 0) << "the application did not quit";

    EXPECT_EQ(answerer.seen().count, 1);
    EXPECT_EQ(answerer.seen().title, QStringLiteral("错误"));
    EXPECT_EQ(answerer.seen().text, QStringLiteral("应用程序启动失败：无法加载UI。"));
    EXPECT_TRUE(
        log.contains(QStringLiteral("Render process terminated with reasion: "
                                    "KilledTerminationStatus, exitCode: 9")))
        << log.all().join('\n').toStdString();
}

TEST_F(WindowTest, QuitClosingWithoutASystemTrayEndsTheProgram) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "this test expects a bare X server";
    QEventLoop loop;
    QTimer::singleShot(0, m_window.get(), &QWidget::close);
    QTimer::singleShot(10000, [&] { loop.exit(1); });
    EXPECT_EQ(loop.exec(), 0) << "closing left the program running without a way back";
    EXPECT_FALSE(m_window->isVisible());
}
