// Values placed into scripts run in the page come from outside the program (host name, toast
// texts, server answers): each one goes in as a quoted JavaScript string literal.
#pragma once

#include <QString>

// Returns `text` as a double-quoted JavaScript string literal that evaluates to exactly `text`.
// Quotes, backslashes, line breaks, U+2028/U+2029 and < > / are escaped, so neither the
// call nor a surrounding <script> element can be broken out of.
QString jsStringLiteral(const QString& text);
