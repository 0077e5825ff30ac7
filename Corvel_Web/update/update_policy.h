// Which downloads may become an update, and the check of their signature.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

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
// What the detached signature file holds: an Ed25519ph signature (libsodium's multi-part
// crypto_sign) of "lumar update VERSION\n" followed by the whole installer, then VERSION itself.
// The version is signed so that an older signed installer cannot be offered again as new.
struct UpdateSignature {
    QByteArray signature;  // 64 bytes
    QString version;       // dotted numbers, e.g. 3.1.9.0
};
// The signature file's contents split; nothing when they are not of that form.
std::optional<UpdateSignature> parseUpdateSignature(const QByteArray& contents);
// Whether `signature` signs the file at `path` with its version under `publicKey`.
bool signatureMatches(const QString& path, const UpdateSignature& signature,
                      const QByteArray& publicKey);
// Whether dotted version `candidate` is later than `running` (missing parts count as 0).
bool versionIsNewer(const QString& candidate, const QString& running);
