#include "program_options.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <limits>

#include "file_safety.h"
#include "program_locations.h"

namespace {

constexpr int kMinSide = 100;
constexpr int kMaxSide = 16384;
constexpr qint64 kMaxPageOptionsBytes = 64 * 1024;

// Whether the file may be read; an untrusted one is reported.
bool usable(const QString& path) {
    QString why;
    switch (programFileTrust(path, &why)) {
        case FileTrust::Trusted:
            return true;
        case FileTrust::Missing:
            return false;
        case FileTrust::Untrusted:
            break;
    }
    qWarning().noquote() << QStringLiteral("Ignoring %1: %2.").arg(path, why);
    return false;
}

int intValue(const QSettings& settings, const QString& key, int fallback, int low, int high) {
    bool ok = false;
    const int value = settings.value(key).toInt(&ok);
    return ok && value >= low && value <= high ? value : fallback;
}

}  // namespace

QString settingsFilePath(const QString& name) {
    return settingsDirectory() + QLatin1Char('/') + name;
}

ProgramOptions readProgramOptions() {
    ProgramOptions options;
    const QString path = settingsFilePath(QStringLiteral("Option.ini"));
    if (!usable(path)) {
        return options;
    }
    const QSettings settings(path, QSettings::IniFormat);
    options.width = intValue(settings, QStringLiteral("resolution/width"),
                             ProgramOptions::kDefaultWidth, kMinSide, kMaxSide);
    options.height = intValue(settings, QStringLiteral("resolution/height"),
                              ProgramOptions::kDefaultHeight, kMinSide, kMaxSide);
    // The engine checks the range itself.
    options.mtu = intValue(settings, QStringLiteral("vpn_params/mtu"), ProgramOptions::kDefaultMtu,
                           std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    return options;
}

QSize windowSizeOnScreen(const ProgramOptions& options, const QSize& available) {
    QSize size(options.width, options.height);
    if (available.isValid() && !available.isEmpty()) {
        size = size.boundedTo(available);
    }
    return size;
}

QString readPageOptions() {
    const QString path = settingsFilePath(QStringLiteral("page_options.json"));
    QJsonObject options;
    QFile file(path);
    if (usable(path) && file.open(QIODevice::ReadOnly)) {
        const QByteArray text = file.read(kMaxPageOptionsBytes + 1);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        if (text.size() > kMaxPageOptionsBytes || !document.isObject()) {
            qWarning().noquote() << "Ignoring " + path + ": not a JSON object of at most 64 KiB.";
        } else {
            options = document.object();
        }
    }
    return QString::fromUtf8(QJsonDocument(options).toJson(QJsonDocument::Compact));
}

QUrl programPageUrl() {
    const QString path = programDirectory() + QStringLiteral("/index.html");
    if (programFileTrust(path) != FileTrust::Untrusted) {
        return QUrl::fromLocalFile(path);
    }
    usable(path);
    qWarning("Showing the built-in notice instead of the page.");
    return QUrl(QStringLiteral("qrc:/web/untrusted.html"));
}
