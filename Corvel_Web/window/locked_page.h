// The view's page, locked to the program's own page: every navigation elsewhere, every new
// window, every permission and every drop is refused and logged.
#pragma once

#include <QUrl>
#include <QWebEnginePage>

class QWebEngineView;

class LockedPage : public QWebEnginePage {
    Q_OBJECT

  public:
    LockedPage(QWebEngineProfile* profile, const QUrl& ownUrl, QObject* parent);
    const QUrl& ownUrl() const { return m_ownUrl; }
    // Whether the page shows its own URL now.
    bool showsOwnPage() const;

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;

  private:
    bool isOwnUrl(const QUrl& url) const;
    void denyPermission(const QUrl& origin, Feature feature);

    QUrl m_ownUrl;
};

// Makes the view, and the widget that takes its input, refuse every drag and drop.
void refuseDrops(QWebEngineView* view);
