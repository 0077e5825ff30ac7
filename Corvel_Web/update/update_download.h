// One update: the installer and then its detached signature, saved in a fresh private directory;
// whatever fails a check is deleted with the directory.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTemporaryDir>
#include <QUrl>

#include "update_policy.h"

class QWebEngineDownloadItem;
class QWebEnginePage;

class UpdateDownload : public QObject {
    Q_OBJECT

  public:
    // Accepts `installer`, whose URL the policy allows; the signature is then asked of `page`,
    // so that it comes through the same profile.
    UpdateDownload(QWebEngineDownloadItem* installer, QWebEnginePage* page,
                   const UpdatePolicy& policy, QObject* parent);
    ~UpdateDownload() override;
    // False when no private directory could be made; the installer was then cancelled.
    bool started() const { return m_stage != Stage::Failed; }
    // Takes `item` when it is the signature this update is waiting for.
    bool takeSignature(QWebEngineDownloadItem* item);
    QString installerPath() const;
    QString directory() const { return m_dir.path(); }

  signals:
    // The installer passed every check and belongs to the desktop user now.
    void verified();
    void failed(const QString& reason);

  private:
    enum class Stage { Installer, Signature, Done, Failed };
    // Accepts `item` into the directory, cancelled once it is larger than `maxBytes`.
    void save(QWebEngineDownloadItem* item, const QString& name, qint64 maxBytes);
    void installerFinished();
    void signatureFinished();
    void fail(const QString& reason);

    QTemporaryDir m_dir;
    QPointer<QWebEnginePage> m_page;
    UpdatePolicy m_policy;
    QUrl m_signatureUrl;
    Stage m_stage = Stage::Installer;
};
