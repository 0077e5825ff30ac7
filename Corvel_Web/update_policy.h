// Which downloads may become an update, and the check of their signature.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

struct UpdatePolicy {
    QList<QUrl> origins;   // https scheme, host and port
    QByteArray publicKey;  // Ed25519, 32 bytes
    qint64 maxBytes = 0;

    // Without an origin or a key nothing can be trusted as an update.
    bool enabled() const;
};

// Reads the policy from its texts: origins separated by ';' or white space (anything but an
// https origin is left out, logged), the key in hexadecimal.
UpdatePolicy parseUpdatePolicy(const QString& origins, const QString& publicKeyHex,
                               qint64 maxBytes);
// The policy the program is built with.
const UpdatePolicy& updatePolicy();
// Logs where updates come from, or that they are off.
void reportUpdatePolicy();

// Empty when `url` may be downloaded as an update; otherwise why not.
QString updateUrlRefusal(const UpdatePolicy& policy, const QUrl& url);
// Where the detached signature of the update at `url` is fetched from: the same URL with
// ".sig" added to its path.
QUrl signatureUrl(const QUrl& url);
// Whether `signature` (64 bytes) is the Ed25519 signature of the whole file at `path`.
bool signatureMatches(const QString& path, const QByteArray& signature,
                      const QByteArray& publicKey);
