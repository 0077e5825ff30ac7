// The page starts a download of a new installer; the window takes it only from the update
// origins, verifies its signature, asks, and hands the installer's directory to the desktop
// user's file manager once the program has ended.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>
#include <QWebEngineDownloadItem>
#include <QWebEngineView>

#include "Corvel_Web.h"
#include "desktop_user.h"
#include "page_script.h"
#include "update_download.h"
#include "update_policy.h"

namespace {

const QString kUpdateFailed = QStringLiteral("更新下载失败！");
const QString kNoDesktopUser = QStringLiteral("无法打开：找不到桌面用户。");

}  // namespace

void Corvel_Web::onDownloadRequested(QWebEngineDownloadItem* download) {
    if (m_update != nullptr && m_update->takeSignature(download)) {
        return;
    }
    QString refusal = updateUrlRefusal(updatePolicy(), download->url());
    if (refusal.isEmpty() && m_update != nullptr) {
        refusal = QStringLiteral("an update download is already running");
    }
    if (!refusal.isEmpty()) {
        qWarning().noquote() << QStringLiteral("Download of %1 refused: %2.")
                                    .arg(download->url().toString().left(200), refusal);
        download->cancel();
        runPageScript(QStringLiteral("toast(%1)").arg(jsStringLiteral(kUpdateFailed)));
        return;
    }
    if (download->mimeType() != QLatin1String("application/octet-stream")) {
        download->cancel();
        return;
    }
    m_update = new UpdateDownload(download, m_view->page(), updatePolicy(), this);
    if (!m_update->started()) {
        onUpdateFailed();
        return;
    }
    connect(m_update, &UpdateDownload::verified, this, &Corvel_Web::onDownloadFinished);
    connect(m_update, &UpdateDownload::failed, this, &Corvel_Web::onUpdateFailed);
    runPageScript(QStringLiteral("toast('正在下载，请稍后...')"));
}

void Corvel_Web::onUpdateFailed() {
    m_update->deleteLater();
    m_update = nullptr;
    runPageScript(QStringLiteral("toast(%1)").arg(jsStringLiteral(kUpdateFailed)));
}

void Corvel_Web::onDownloadFinished() {
    const QString directory = m_update->directory();
    m_update->deleteLater();
    m_update = nullptr;
    QMessageBox question(QMessageBox::Question, QStringLiteral("软件升级"),
                         QStringLiteral("下载完成，现在就更新吗？"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    question.button(QMessageBox::No)->setText(QStringLiteral("否"));
    if (question.exec() != QMessageBox::Yes) {
        return;
    }
    // The installer is never opened as root: its directory goes to the desktop user's file
    // manager once the program has ended.
    if (!openForDesktopUserAtExit(directory)) {
        runPageScript(QStringLiteral("toast(%1)").arg(jsStringLiteral(kNoDesktopUser)));
        return;
    }
    QCoreApplication::quit();
}
