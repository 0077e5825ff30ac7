#include "page_script.h"

QString jsStringLiteral(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        const ushort u = c.unicode();
        switch (u) {
            case '"':
                out += QLatin1String("\\\"");
                break;
            case '\'':
                out += QLatin1String("\\'");
                break;
            case '\\':
                out += QLatin1String("\\\\");
                break;
            case '\n':
                out += QLatin1String("\\n");
                break;
            case '\r':
                out += QLatin1String("\\r");
                break;
            case '\t':
                out += QLatin1String("\\t");
                break;
            default:
                // Other controls, the JS line terminators and the HTML-significant characters.
                if (u < 0x20 || u == 0x2028 || u == 0x2029 || u == '<' || u == '>' || u == '/' ||
                    u == 0x7f) {
                    out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
                } else {
                    out += c;
                }
        }
    }
    out += QLatin1Char('"');
    return out;
}
