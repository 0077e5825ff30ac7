// The page sends the user to the system browser: an Alipay form or any other URL.
#include <QDebug>
#include <QDesktopServices>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

#include "Corvel.h"
#include "program_resources.h"

void Corvel::aliPayForm(QString form) {
    qDebug().noquote() << "form:" + form;
    qDebug() << "aliPayForm called!";

    loadProgramResources();
    QFile templateFile(QStringLiteral(":/file/AlipayPageTemplate.html"));
    if (!templateFile.open(QIODevice::ReadOnly)) {
        qCritical() << "Open alipay template page failed!";
        return;
    }
    QString page = QString::fromUtf8(templateFile.readAll());
    const QString bodyTag = QStringLiteral("<body>");
    page.insert(page.indexOf(bodyTag) + bodyTag.size(), form);
    qDebug().noquote() << "content:" + page;

    QFile pageFile(QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
                   QStringLiteral("/AlipayPage.html"));
    if (!pageFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCritical() << "Open alipay temp page failed!";
        return;
    }
    QTextStream out(&pageFile);
    out.setCodec("UTF-8");
    out << page;
    out.flush();
    pageFile.close();

    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(pageFile.fileName()))) {
        qCritical() << "openUrl failed!";
    }
}

void Corvel::redirectTo(QString url) {
    qDebug().noquote() << url;
    if (!QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode))) {
        qCritical() << "openLivePageUrl failed!";
    }
}
