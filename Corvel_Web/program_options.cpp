#include "program_options.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <limits>

#include "file_safety.h"

namespace {

constexpr int kMinSide = 100;
constexpr int kMaxSide = 16384;
constexpr qint64 kMaxPageOptionsBytes = 64 * 1024;

// Whether the file beside the program may be read; an untrusted one is reported.
bool usable(const QString& name) {
    QString why;
    switch (programFileTrust(programFilePath(name), &why)) {
        case FileTrust::Trusted:
            return true;
        case FileTrust::Missing:
            return false;
        case FileTrust::Untrusted:
            break;
    }
    qWarning().noquote() << QStringLiteral("Ignoring %1 beside the program: %2.").arg(name, why);
    return false;
}

int intValue(const QSettings& settings, const QString& key, int fallback, int low, int high) {
    bool ok = false;
    const int value = settings.value(key).toInt(&ok);
    return ok && value >= low && value <= high ? value : fallback;
}

}  // namespace

QString programFilePath(const QString& name) {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

ProgramOptions readProgramOptions() {
    ProgramOptions options;
    const QString name = QStringLiteral("Option.ini");
    if (!usable(name)) {
        return options;
    }
    const QSettings settings(programFilePath(name), QSettings::IniFormat);
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
    const QString name = QStringLiteral("page_options.json");
    QJsonObject options;
    QFile file(programFilePath(name));
    if (usable(name) && file.open(QIODevice::ReadOnly)) {
        const QByteArray text = file.read(kMaxPageOptionsBytes + 1);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        if (text.size() > kMaxPageOptionsBytes || !document.isObject()) {
            qWarning().noquote() << "Ignoring " + name + ": not a JSON object of at most 64 KiB.";
        } else {
            options = document.object();
        }
    }
    return QString::fromUtf8(QJsonDocument(options).toJson(QJsonDocument::Compact));
}

QUrl programPageUrl() {
    const QString name = QStringLiteral("index.html");
    if (programFileTrust(programFilePath(name)) != FileTrust::Untrusted) {
        return QUrl::fromLocalFile(programFilePath(name));
    }
    usable(name);
    qWarning("Showing the built-in notice instead of the page.");
    return QUrl(QStringLiteral("qrc:/web/untrusted.html"));
}
