#include "Corvel_Web.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include "Corvel.h"
#include "TitleWidget.h"
#include "locked_page.h"
#include "program_options.h"
#include "program_resources.h"
#include "update_policy.h"

namespace {
const QString kProductName = QStringLiteral("Orvane");
}

Corvel_Web::Corvel_Web(QWidget* parent) : QWidget(parent) {
    loadProgramResources();
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    setWindowTitle(QStringLiteral("lumar"));
    // Hidden in the tray the window still counts: closing a dialog meanwhile must not end the
    // program (and the tunnel). It ends only when asked to: the tray's quit, a close without a
    // tray, the end of the session.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    QPalette background = palette();
    background.setBrush(QPalette::All, QPalette::Window,
                        QBrush(QPixmap(QStringLiteral(":/img/background"))));
    setPalette(background);

    const int mtu = readProgramOptions().mtu;

    m_channel = new QWebChannel(this);
    m_bridge = new Corvel(this, mtu);
    m_channel->registerObject(QStringLiteral("corvel"), m_bridge);

    // A profile of the window's own, so that it ends with the window: the process-wide default
    // one is torn down after the application object, and crashes there when a download was
    // interrupted.
    m_profile = new QWebEngineProfile(QStringLiteral("lumar"), this);
    m_view = new QWebEngineView(this);
    m_page = new LockedPage(m_profile, programPageUrl(), m_view);
    m_view->setPage(m_page);
    m_page->setWebChannel(m_channel);
    refuseDrops(m_view);

    connect(m_view, &QWebEngineView::renderProcessTerminated, this,
            &Corvel_Web::on_renderProcessTerminated);
    connect(m_profile, &QWebEngineProfile::downloadRequested, this,
            &Corvel_Web::onDownloadRequested);
    reportUpdatePolicy();

    m_view->load(m_page->ownUrl());

    m_titleWidget = new TitleWidget(this);
    connect(m_titleWidget, &TitleWidget::showMin, this, &Corvel_Web::showMinimized);
    connect(m_titleWidget, &TitleWidget::closeWidget, this, &Corvel_Web::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_titleWidget, 0);
    layout->addWidget(m_view, 1);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);

    m_trayIcon = new QSystemTrayIcon(this);
    updateConnectionLook(false);
    m_trayIcon->setVisible(true);

    auto* menu = new QMenu(this);
    QAction* quitAction = new QAction(QStringLiteral("退出"), menu);
    menu->addAction(quitAction);
    menu->setStyleSheet(QStringLiteral("border: 1px solid transparent;"));
    m_trayIcon->setContextMenu(menu);

    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &Corvel_Web::on_sysTrayIconActived);
    connect(m_trayIcon, &QSystemTrayIcon::messageClicked, this,
            &Corvel_Web::on_sysTrayMessageClicked);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
}

// The bridge goes with the window as a child; its destructor stops a running tunnel.
Corvel_Web::~Corvel_Web() {
    // Pages must go before their profile.
    delete m_view;
    m_view = nullptr;
    m_page = nullptr;
}

void Corvel_Web::runPageScript(const QString& script) {
    if (m_view == nullptr) {
        return;
    }
    m_view->page()->runJavaScript(script);
}

bool Corvel_Web::showsOwnPage() const {
    return m_page != nullptr && m_page->showsOwnPage();
}

void Corvel_Web::updateConnectionLook(bool connected) {
    m_trayIcon->setToolTip(
        QStringLiteral("%1（%2）")
            .arg(kProductName, connected ? QStringLiteral("已连接") : QStringLiteral("未连接")));
    m_trayIcon->setIcon(
        QIcon(connected ? QStringLiteral(":/img/logo_connected") : QStringLiteral(":/img/logo")));
}

void Corvel_Web::showTrayWarning(const QString& text) {
    m_trayIcon->showMessage(kProductName, text, QSystemTrayIcon::Warning, 10000);
}

void Corvel_Web::mousePressEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) {
        m_dragOffset = event->globalPos() - pos();
        m_dragging = true;
    }
    QWidget::mousePressEvent(event);
}

void Corvel_Web::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging) {
        move(event->globalPos() - m_dragOffset);
    }
    QWidget::mouseMoveEvent(event);
}

void Corvel_Web::mouseReleaseEvent(QMouseEvent* event) {
    m_dragging = false;
    QWidget::mouseReleaseEvent(event);
}

void Corvel_Web::closeEvent(QCloseEvent* event) {
    // Hiding is only sound where a tray shows the icon to bring the window back and to quit.
    if (m_trayIcon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}

void Corvel_Web::on_renderProcessTerminated(
    QWebEnginePage::RenderProcessTerminationStatus terminationStatus, int exitCode) {
    if (terminationStatus == QWebEnginePage::NormalTerminationStatus) {
        return;
    }
    const char* statusName =
        QMetaEnum::fromType<QWebEnginePage::RenderProcessTerminationStatus>().valueToKey(
            terminationStatus);
    qCritical().noquote() << "Render process terminated with reasion: " +
                                 QString::fromLatin1(statusName) +
                                 ", exitCode: " + QString::number(exitCode);
    QMessageBox::critical(this, QStringLiteral("错误"),
                          QStringLiteral("应用程序启动失败：无法加载UI。"), QMessageBox::Ok);
    QCoreApplication::quit();
}

void Corvel_Web::on_sysTrayIconActived(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick) {
        return;
    }
    if (isHidden()) {
        show();
        return;
    }
    showNormal();
    activateWindow();
    raise();
}

void Corvel_Web::on_sysTrayMessageClicked() {
    on_sysTrayIconActived(QSystemTrayIcon::Trigger);
}
