// The page sends the user to their own browser: an Alipay form or an http(s) link, opened as
// the desktop user, never as root and never anything but a web address or the payment page.
#include <QDebug>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include "Corvel.h"
#include "desktop_user.h"
#include "file_safety.h"
#include "program_resources.h"

namespace {

const QString kNoDesktopUser = QStringLiteral("无法打开浏览器：找不到桌面用户。");

bool isWebAddress(const QUrl& url) {
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

}  // namespace

void Corvel::aliPayForm(QString form) {
    if (!calledByOwnPage("aliPayForm")) {
        return;
    }
    // The form carries the order and its signature: only its size is logged.
    qDebug().noquote() << QStringLiteral("form: (%1 characters)").arg(form.size());
    qDebug() << "aliPayForm called!";
    if (!desktopUserKnown(QStringLiteral("the payment page"))) {
        callToast(kNoDesktopUser);
        return;
    }

    loadProgramResources();
    QFile templateFile(QStringLiteral(":/file/AlipayPageTemplate.html"));
    if (!templateFile.open(QIODevice::ReadOnly)) {
        qCritical() << "Open alipay template page failed!";
        return;
    }
    QString page = QString::fromUtf8(templateFile.readAll());
    const QString bodyTag = QStringLiteral("<body>");
    page.insert(page.indexOf(bodyTag) + bodyTag.size(), form);

    // A directory of its own for every page: no name in a shared directory to guess or to
    // plant a link at.
    QTemporaryDir dir(privateDirParent() + QStringLiteral("/lumar-pay-XXXXXX"));
    const QString name = QStringLiteral("AlipayPage.html");
    if (!dir.isValid() || !writeNewFile(dir.path(), name, page.toUtf8()) ||
        !handOverToDesktopUser(dir.path())) {
        qCritical() << "Open alipay temp page failed!";
        return;
    }
    // The browser reads the page after this call returns.
    dir.setAutoRemove(false);
    if (!openForDesktopUser(QUrl::fromLocalFile(dir.filePath(name)).toString())) {
        qCritical() << "openUrl failed!";
    }
}

void Corvel::redirectTo(QString url) {
    if (!calledByOwnPage("redirectTo")) {
        return;
    }
    qDebug().noquote() << url;
    const QUrl parsed(url, QUrl::TolerantMode);
    if (!isWebAddress(parsed)) {
        qWarning().noquote() << "Refused to open a link that is not an http(s) address: " +
                                    parsed.scheme() + ":";
        qCritical() << "openLivePageUrl failed!";
        return;
    }
    if (!desktopUserKnown(parsed.toString())) {
        callToast(kNoDesktopUser);
        return;
    }
    if (!openForDesktopUser(parsed.toString(QUrl::FullyEncoded))) {
        qCritical() << "openLivePageUrl failed!";
    }
}
