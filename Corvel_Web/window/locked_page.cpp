#include "locked_page.h"

#include <QChildEvent>
#include <QDebug>
#include <QMetaEnum>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineRegisterProtocolHandlerRequest>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "update_policy.h"

namespace {

constexpr int kLoggedUrlLength = 200;

QString shortUrl(const QUrl& url) {
    const QString text = url.toString();
    return text.size() > kLoggedUrlLength ? text.left(kLoggedUrlLength) + QStringLiteral("...")
                                          : text;
}

template <typename Enum>
QString enumName(Enum value) {
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

// Eats every drag and drop event of the widgets it watches, and adopts the widget the view
// creates for its content.
class DropRefuser : public QObject {
  public:
    explicit DropRefuser(QWidget* widget) : QObject(widget) { watch(widget); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::DragEnter:
                // Refused here, the drag never becomes a drop.
                qWarning().noquote() << "Refused a drop onto the window.";
                event->ignore();
                return true;
            case QEvent::DragMove:
            case QEvent::DragLeave:
            case QEvent::Drop:
                event->ignore();
                return true;
            case QEvent::ChildPolished:
                // Sent once the child is fully made, after its own setAcceptDrops.
                if (auto* child =
                        qobject_cast<QWidget*>(static_cast<QChildEvent*>(event)->child())) {
                    watch(child);
                }
                break;
            default:
                break;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    void watch(QWidget* widget) {
        widget->setAcceptDrops(false);
        widget->installEventFilter(this);
        for (QWidget* child : widget->findChildren<QWidget*>()) {
            child->setAcceptDrops(false);
            child->installEventFilter(this);
        }
    }
};

}  // namespace

LockedPage::LockedPage(QWebEngineProfile* profile, const QUrl& ownUrl, QObject* parent)
    : QWebEnginePage(profile, parent), m_ownUrl(ownUrl) {
    QWebEngineSettings* s = settings();
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    s->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
    s->setAttribute(QWebEngineSettings::ScreenCaptureEnabled, false);
    s->setAttribute(QWebEngineSettings::AllowRunningInsecureContent, false);
    s->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, false);
    connect(this, &QWebEnginePage::featurePermissionRequested, this, &LockedPage::denyPermission);
    connect(this, &QWebEnginePage::fullScreenRequested, this,
            [](QWebEngineFullScreenRequest request) { request.reject(); });
    connect(this, &QWebEnginePage::registerProtocolHandlerRequested, this,
            [](QWebEngineRegisterProtocolHandlerRequest request) { request.reject(); });
}

bool LockedPage::isOwnUrl(const QUrl& url) const {
    // A fragment stays within the same document.
    return url.adjusted(QUrl::RemoveFragment) == m_ownUrl;
}

bool LockedPage::showsOwnPage() const {
    return isOwnUrl(url());
}

bool LockedPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    if (isOwnUrl(url) && isMainFrame) {
        return true;
    }
    // An update link is followed as a download of its own, never as a page in the view.
    if (isMainFrame && updateUrlRefusal(updatePolicy(), url).isEmpty()) {
        qInfo().noquote() << "Navigation to " + shortUrl(url) + " taken as an update download.";
        download(url);
        return false;
    }
    qWarning().noquote() << QStringLiteral("Refused navigation to %1 (%2, %3 frame).")
                                .arg(shortUrl(url), enumName(type),
                                     isMainFrame ? QStringLiteral("main") : QStringLiteral("sub"));
    return false;
}

QWebEnginePage* LockedPage::createWindow(WebWindowType type) {
    qWarning().noquote() << "Refused to open a new window (" + enumName(type) + ").";
    return nullptr;
}

void LockedPage::denyPermission(const QUrl& origin, Feature feature) {
    qWarning().noquote()
        << QStringLiteral("Refused permission %1 to %2.").arg(enumName(feature), shortUrl(origin));
    setFeaturePermission(origin, feature, PermissionDeniedByUser);
}

void refuseDrops(QWebEngineView* view) {
    new DropRefuser(view);
}
