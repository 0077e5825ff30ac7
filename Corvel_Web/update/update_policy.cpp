#include "update_policy.h"

#include <sodium.h>

#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>

#include "build_settings.h"

namespace {

constexpr int kHttpsPort = 443;

bool sameOrigin(const QUrl& a, const QUrl& b) {
    return a.scheme() == b.scheme() && a.host() == b.host() &&
           a.port(kHttpsPort) == b.port(kHttpsPort);
}

}  // namespace

bool UpdatePolicy::enabled() const {
    return !origins.isEmpty() && publicKey.size() == crypto_sign_PUBLICKEYBYTES;
}

UpdatePolicy parseUpdatePolicy(const QString& origins, const QString& publicKeyHex,
                               qint64 maxBytes) {
    UpdatePolicy policy;
    const QStringList texts =
        origins.split(QRegularExpression(QStringLiteral("[;\\s]+")), Qt::SkipEmptyParts);
    for (const QString& text : texts) {
        const QUrl origin(text, QUrl::StrictMode);
        if (!origin.isValid() || origin.scheme() != QLatin1String("https") ||
            origin.host().isEmpty() || !origin.path(QUrl::FullyEncoded).remove('/').isEmpty()) {
            qWarning().noquote() << "Update origin left out, not an https origin: " + text;
            continue;
        }
        policy.origins.append(origin);
    }
    const QByteArray key = QByteArray::fromHex(publicKeyHex.toLatin1());
    if (key.size() == crypto_sign_PUBLICKEYBYTES &&
        key.toHex() == publicKeyHex.toLatin1().toLower()) {
        policy.publicKey = key;
    }
    policy.maxBytes = maxBytes;
    return policy;
}

const UpdatePolicy& updatePolicy() {
    static const UpdatePolicy policy = parseUpdatePolicy(
        QString::fromUtf8(build_settings::updateOrigins),
        QString::fromLatin1(build_settings::updatePublicKey), build_settings::updateMaxBytes);
    return policy;
}

void reportUpdatePolicy() {
    const UpdatePolicy& policy = updatePolicy();
    if (!policy.enabled()) {
        qInfo("Updates are off: this build has no update origin or no update key.");
        return;
    }
    QStringList origins;
    for (const QUrl& origin : policy.origins) {
        origins << origin.toString();
    }
    qInfo().noquote() << QStringLiteral("Updates come from %1, signed, at most %2 bytes.")
                             .arg(origins.join(QStringLiteral(", ")))
                             .arg(policy.maxBytes);
}

QString updateUrlRefusal(const UpdatePolicy& policy, const QUrl& url) {
    if (!policy.enabled()) {
        return QStringLiteral("updates are off in this build");
    }
    if (url.scheme() != QLatin1String("https")) {
        return QStringLiteral("a %1: URL, not https").arg(url.scheme());
    }
    for (const QUrl& origin : policy.origins) {
        if (sameOrigin(origin, url)) {
            return {};
        }
    }
    return QStringLiteral("not from an update origin");
}

QUrl signatureUrl(const QUrl& url) {
    QUrl signature = url;
    signature.setPath(url.path() + QStringLiteral(".sig"));
    return signature;
}

std::optional<UpdateSignature> parseUpdateSignature(const QByteArray& contents) {
    static const QRegularExpression kVersion(QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,9}){0,3}$"));
    constexpr int kBytes = crypto_sign_BYTES;
    const QString version = QString::fromLatin1(contents.mid(kBytes));
    if (!kVersion.match(version).hasMatch()) {
        return std::nullopt;
    }
    return UpdateSignature{contents.left(kBytes), version};
}

bool signatureMatches(const QString& path, const UpdateSignature& signature,
                      const QByteArray& publicKey) {
    if (signature.signature.size() != crypto_sign_BYTES ||
        publicKey.size() != crypto_sign_PUBLICKEYBYTES || sodium_init() < 0) {
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const qint64 size = file.size();
    const uchar* data = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && data == nullptr) {
        return false;
    }
    const QByteArray label = "lumar update " + signature.version.toLatin1() + '\n';
    crypto_sign_state state;
    crypto_sign_init(&state);
    crypto_sign_update(&state, reinterpret_cast<const unsigned char*>(label.constData()),
                       static_cast<unsigned long long>(label.size()));
    if (size > 0) {
        crypto_sign_update(&state, data, static_cast<unsigned long long>(size));
    }
    QByteArray copy = signature.signature;
    return crypto_sign_final_verify(
               &state, reinterpret_cast<unsigned char*>(copy.data()),
               reinterpret_cast<const unsigned char*>(publicKey.constData())) == 0;
}

bool versionIsNewer(const QString& candidate, const QString& running) {
    const QStringList a = candidate.split(QLatin1Char('.'));
    const QStringList b = running.split(QLatin1Char('.'));
    for (int i = 0; i < std::max(a.size(), b.size()); ++i) {
        const qulonglong x = i < a.size() ? a[i].toULongLong() : 0;
        const qulonglong y = i < b.size() ? b[i].toULongLong() : 0;
        if (x != y) {
            return x > y;
        }
    }
    return false;
}
