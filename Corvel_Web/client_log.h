// The client log: every qDebug/qInfo/qWarning/qCritical/qFatal of the program, filtered by
// LUMAR_LOG_LEVEL and appended to "Corvel.log" beside the program.
#pragma once

#include <QString>
#include <QtGlobal>

// Writes nothing until installClientLog has fixed the log's path.
void clientLogHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

// Fixes the log's path beside the program and installs clientLogHandler as the process's
// message handler; returns the handler it replaces. Where others could write beside the
// program, installs nothing and returns null.
QtMessageHandler installClientLog();

// The threshold in force: LUMAR_LOG_LEVEL in base 10, or 2 when missing or not a number.
int clientLogThreshold();

// The line written for one message, without the line feed.
QString clientLogLine(QtMsgType type, const QMessageLogContext& context, const QString& msg);
