// The program's only window: a frameless widget with its own title bar above the page.
#pragma once

#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <QWebEnginePage>
#include <QWidget>

class TitleWidget;
class QWebEngineView;
class QWebEngineProfile;
class QWebChannel;
class QWebEngineDownloadItem;
class Corvel;
class LockedPage;
class UpdateDownload;

class Corvel_Web : public QWidget {
    Q_OBJECT

  public:
    explicit Corvel_Web(QWidget* parent = nullptr);
    ~Corvel_Web() override;

    // Used by the bridge.
    void runPageScript(const QString& script);
    // Whether the view shows the program's own page; the bridge serves nothing else.
    bool showsOwnPage() const;
    void updateConnectionLook(bool connected);
    void showTrayWarning(const QString& text);

    // Software update: the page's downloads.
    void onDownloadRequested(QWebEngineDownloadItem* download);
    void onDownloadFinished();
    void onUpdateFailed();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private slots:
    void on_renderProcessTerminated(
        QWebEnginePage::RenderProcessTerminationStatus terminationStatus, int exitCode);
    void on_sysTrayIconActived(QSystemTrayIcon::ActivationReason reason);
    void on_sysTrayMessageClicked();

  private:
    TitleWidget* m_titleWidget = nullptr;
    QWebEngineView* m_view = nullptr;
    LockedPage* m_page = nullptr;
    QWebEngineProfile* m_profile = nullptr;
    QWebChannel* m_channel = nullptr;
    Corvel* m_bridge = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    UpdateDownload* m_update = nullptr;
    QPoint m_dragOffset;
    bool m_dragging = false;
};
