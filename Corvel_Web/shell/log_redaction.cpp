#include "log_redaction.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
constexpr int kShownCharacters = 4;
}

QString maskedSecret(const QString& secret) {
    return QStringLiteral("%1... (%2 characters)")
        .arg(secret.left(kShownCharacters))
        .arg(secret.size());
}

QString serviceInfoForLog(const QString& serviceInfo) {
    const QJsonDocument document = QJsonDocument::fromJson(serviceInfo.toUtf8());
    if (!document.isObject()) {
        return QStringLiteral("(not a JSON object, %1 characters)").arg(serviceInfo.size());
    }
    QJsonObject info = document.object();
    const QString token = QStringLiteral("token");
    if (info.contains(token)) {
        info.insert(token, maskedSecret(info.value(token).toVariant().toString()));
    }
    return QString::fromUtf8(QJsonDocument(info).toJson(QJsonDocument::Compact));
}
