// The page starts a download of a new installer; the window saves it, asks, and opens it once
// the program has ended.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QMetaEnum>
#include <QStandardPaths>
#include <QWebEngineDownloadItem>
#include <QWebEngineView>

#include "Corvel_Web.h"
#include "installer_launch.h"

namespace {

const QString kInstallerName = QStringLiteral("lumar.exe");

QString tempDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

}  // namespace

void Corvel_Web::onDownloadRequested(QWebEngineDownloadItem* download) {
    if (download->mimeType() != QLatin1String("application/octet-stream")) {
        download->cancel();
        return;
    }
    download->setDownloadDirectory(tempDirectory());
    download->setDownloadFileName(kInstallerName);
    connect(download, &QWebEngineDownloadItem::finished, this, &Corvel_Web::onDownloadFinished);
    download->accept();
    runPageScript(QStringLiteral("toast('正在下载，请稍后...')"));
}

void Corvel_Web::onDownloadFinished() {
    // Only a whole file may be offered as an update.
    const auto* download = qobject_cast<QWebEngineDownloadItem*>(sender());
    if (download->state() != QWebEngineDownloadItem::DownloadCompleted) {
        qWarning().noquote() << "Update download ended unfinished: " +
                                    QString::fromLatin1(
                                        QMetaEnum::fromType<QWebEngineDownloadItem::DownloadState>()
                                            .valueToKey(download->state()));
        return;
    }
    QMessageBox question(QMessageBox::Question, QStringLiteral("软件升级"),
                         QStringLiteral("下载完成，现在就更新吗？"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    question.button(QMessageBox::No)->setText(QStringLiteral("否"));
    if (question.exec() != QMessageBox::Yes) {
        return;
    }
    openAtExit(QDir::toNativeSeparators(tempDirectory() + QLatin1Char('/') + kInstallerName));
    QCoreApplication::quit();
}
