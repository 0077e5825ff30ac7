#include "update_download.h"

#include <QDebug>
#include <QFile>
#include <QMetaEnum>
#include <QTimer>
#include <QWebEngineDownloadItem>
#include <QWebEnginePage>

#include "desktop_user.h"
#include "file_safety.h"
#include "host_identity.h"

namespace {

const QString kInstallerName = QStringLiteral("lumar.exe");
const QString kSignatureName = QStringLiteral("lumar.exe.sig");
// The signature and a version of up to 39 characters.
constexpr qint64 kSignatureFileBytes = 64 + 39;
constexpr int kSignatureWaitMs = 60000;

QString endState(const QWebEngineDownloadItem* item) {
    return QString::fromLatin1(
        QMetaEnum::fromType<QWebEngineDownloadItem::DownloadState>().valueToKey(item->state()));
}

}  // namespace

UpdateDownload::UpdateDownload(QWebEngineDownloadItem* installer, QWebEnginePage* page,
                               const UpdatePolicy& policy, QObject* parent)
    : QObject(parent),
      m_dir(privateDirParent() + QStringLiteral("/lumar-update-XXXXXX")),
      m_page(page),
      m_policy(policy) {
    if (!m_dir.isValid()) {
        qCritical().noquote() << "Update download refused: no private directory: " +
                                     m_dir.errorString();
        installer->cancel();
        m_stage = Stage::Failed;
        return;
    }
    connect(installer, &QWebEngineDownloadItem::finished, this, &UpdateDownload::installerFinished);
    save(installer, kInstallerName, m_policy.maxBytes);
}

UpdateDownload::~UpdateDownload() {
    // A verified installer stays for the desktop user.
    m_dir.setAutoRemove(m_stage != Stage::Done);
}

QString UpdateDownload::installerPath() const {
    return m_dir.filePath(kInstallerName);
}

void UpdateDownload::save(QWebEngineDownloadItem* item, const QString& name, qint64 maxBytes) {
    // Stopped as soon as it announces or grows past its limit.
    connect(item, &QWebEngineDownloadItem::downloadProgress, this,
            [item, maxBytes](qint64 received, qint64 total) {
                if (received > maxBytes || total > maxBytes) {
                    qWarning().noquote()
                        << QStringLiteral("Download of %1 cancelled: more than %2 bytes.")
                               .arg(item->url().toString())
                               .arg(maxBytes);
                    item->cancel();
                }
            });
    item->setDownloadDirectory(m_dir.path());
    item->setDownloadFileName(name);
    item->accept();
}

bool UpdateDownload::takeSignature(QWebEngineDownloadItem* item) {
    if (m_stage != Stage::Signature || item->url() != m_signatureUrl) {
        return false;
    }
    connect(item, &QWebEngineDownloadItem::finished, this, &UpdateDownload::signatureFinished);
    save(item, kSignatureName, kSignatureFileBytes);
    return true;
}

void UpdateDownload::installerFinished() {
    auto* item = qobject_cast<QWebEngineDownloadItem*>(sender());
    if (m_stage != Stage::Installer) {
        return;
    }
    if (item->state() != QWebEngineDownloadItem::DownloadCompleted ||
        item->receivedBytes() > m_policy.maxBytes) {
        fail(QStringLiteral("the download ended %1").arg(endState(item)));
        return;
    }
    if (m_page.isNull()) {
        fail(QStringLiteral("the page is gone"));
        return;
    }
    m_stage = Stage::Signature;
    m_signatureUrl = signatureUrl(item->url());
    m_page->download(m_signatureUrl, kSignatureName);
    // A signature that never comes must not hold later updates back.
    QTimer::singleShot(kSignatureWaitMs, this, [this] {
        if (m_stage == Stage::Signature) {
            fail(QStringLiteral("no signature arrived"));
        }
    });
}

void UpdateDownload::signatureFinished() {
    auto* item = qobject_cast<QWebEngineDownloadItem*>(sender());
    if (m_stage != Stage::Signature) {
        return;
    }
    if (item->state() != QWebEngineDownloadItem::DownloadCompleted) {
        fail(QStringLiteral("the signature download ended %1").arg(endState(item)));
        return;
    }
    QFile signatureFile(m_dir.filePath(kSignatureName));
    const std::optional<UpdateSignature> signature = parseUpdateSignature(
        signatureFile.open(QIODevice::ReadOnly) ? signatureFile.read(kSignatureFileBytes + 1)
                                                : QByteArray());
    signatureFile.remove();
    if (!signature || !signatureMatches(installerPath(), *signature, m_policy.publicKey)) {
        fail(QStringLiteral("the signature does not match"));
        return;
    }
    if (!versionIsNewer(signature->version, builtVersion())) {
        fail(QStringLiteral("its version %1 is not newer than this program's %2")
                 .arg(signature->version, builtVersion()));
        return;
    }
    if (!handOverToDesktopUser(m_dir.path())) {
        qWarning("The verified update stays root's: no desktop user to hand it to.");
    }
    m_stage = Stage::Done;
    qInfo().noquote() << "Update verified: " + installerPath();
    emit verified();
}

void UpdateDownload::fail(const QString& reason) {
    m_stage = Stage::Failed;
    m_dir.remove();
    qWarning().noquote() << "Update download failed and deleted: " + reason;
    emit failed(reason);
}
