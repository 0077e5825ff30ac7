#include "client_log.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <mutex>

#include "file_safety.h"
#include "program_locations.h"

namespace {

constexpr qint64 kMaxLogBytes = 10485760;

QString typeLabel(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return QStringLiteral("[Debug]");
        case QtInfoMsg:
            return QStringLiteral("[Info]");
        case QtWarningMsg:
            return QStringLiteral("[Warning]");
        case QtCriticalMsg:
            return QStringLiteral("[Critical]");
        case QtFatalMsg:
            return QStringLiteral("[Fatal]");
    }
    return QString();
}

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

// Fixed when the handler is installed and never freed: a message logged once the application
// object has gone (a ping ending at exit, a static destructor) has no program directory to ask
// for, and would otherwise land in "/Corvel.log". Guarded by logMutex.
QString* g_logPath = nullptr;

}  // namespace

int clientLogThreshold() {
    bool ok = false;
    const int level = qEnvironmentVariable("LUMAR_LOG_LEVEL").toInt(&ok, 10);
    return ok ? level : 2;
}

QString clientLogLine(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    QString line = typeLabel(type);
    line += QStringLiteral(" [%1 ").arg(
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss zzz")));
    line += QStringLiteral(" %1: Line: %2 ")
                .arg(QString::fromUtf8(context.file ? context.file : ""))
                .arg(context.line);
    line += QStringLiteral(" Func: %1] ")
                .arg(QString::fromUtf8(context.function ? context.function : ""));
    line += QStringLiteral(" [Message: %1]").arg(msg);
    return line;
}

void clientLogHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    if (static_cast<int>(type) < clientLogThreshold()) {
        return;
    }
    const QString line = clientLogLine(type, context, msg);

    std::lock_guard<std::mutex> lock(logMutex());
    if (g_logPath == nullptr) {
        return;
    }
    const QString& path = *g_logPath;
    const QFileInfo info(path);
    if (info.exists() && info.size() > kMaxLogBytes) {
        const QString backup = path + QStringLiteral(".bak");
        QFile::remove(backup);
        QFile::rename(path, backup);
    }
    // An unwritable directory, or a link in place of the log, loses the line; the program goes
    // on.
    QFile file;
    if (!openForAppendNoFollow(file, path)) {
        return;
    }
    QTextStream out(&file);
    // The local 8-bit encoding of a Linux desktop is UTF-8; a C locale must not turn the
    // Chinese texts into question marks.
    out.setCodec("UTF-8");
    out << line << '\n';
    out.flush();
}

QString clientLogDirectory(QString* why) {
    QString fault;
    QString dir = stateDirectory(&fault);
    if (!dir.isEmpty()) {
        if (!directoryTrusted(dir, &fault)) {
            fault = dir + QStringLiteral(": ") + fault;
        } else if (!QFileInfo(dir).isWritable()) {
            fault = dir + QStringLiteral(": it is not writable");
        } else {
            return dir;
        }
    }
    if (why != nullptr) {
        *why = fault;
    }
    return {};
}

QtMessageHandler installClientLog() {
    QString why;
    const QString dir = clientLogDirectory(&why);
    if (dir.isEmpty()) {
        qWarning("Not writing Corvel.log (%s): messages go to standard error.", qPrintable(why));
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(logMutex());
        const QString path = QStringLiteral("%1/%2").arg(dir, QStringLiteral("Corvel.log"));
        if (g_logPath == nullptr) {
            g_logPath = new QString(path);
        } else {
            *g_logPath = path;
        }
    }
    return qInstallMessageHandler(clientLogHandler);
}
