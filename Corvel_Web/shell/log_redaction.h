// Secrets the page hands over (access tokens) never reach the log in clear.
#pragma once

#include <QString>

// The first four characters and the length: enough to tell tokens apart in a log.
QString maskedSecret(const QString& secret);
// The connection JSON with its token masked; text that is not a JSON object is reduced to its
// length, as it may hold a token anywhere.
QString serviceInfoForLog(const QString& serviceInfo);
