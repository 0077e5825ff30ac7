// The client log: every qDebug/qInfo/qWarning/qCritical/qFatal of the program, filtered by
// LUMAR_LOG_LEVEL and appended to "Corvel.log" beside the program.
#pragma once

#include <QString>
#include <QtGlobal>

void clientLogHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

// Installs clientLogHandler as the process's message handler.
void installClientLog();

// The threshold in force: LUMAR_LOG_LEVEL in base 10, or 2 when missing or not a number.
int clientLogThreshold();

// The line written for one message, without the line feed.
QString clientLogLine(QtMsgType type, const QMessageLogContext& context, const QString& msg);
