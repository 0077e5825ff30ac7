// The client log: every qDebug/qInfo/qWarning/qCritical/qFatal of the program, filtered by
// LUMAR_LOG_LEVEL and appended to "Corvel.log" in the program's state directory (beside the
// program unless it runs installed).
#pragma once

#include <QString>
#include <QtGlobal>

// Writes nothing until installClientLog has fixed the log's path.
void clientLogHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

// Where the log may be written: the state directory when it is made, trusted (file_safety.h) and
// writable; else empty, with `why` naming the directory and what is wrong with it.
QString clientLogDirectory(QString* why = nullptr);

// Fixes the log's path and installs clientLogHandler as the process's message handler; returns
// the handler it replaces. Where the log may not be written, installs nothing and returns null:
// the messages go to standard error.
QtMessageHandler installClientLog();

// The threshold in force: LUMAR_LOG_LEVEL in base 10, or 2 when missing or not a number.
int clientLogThreshold();

// The line written for one message, without the line feed.
QString clientLogLine(QtMsgType type, const QMessageLogContext& context, const QString& msg);
