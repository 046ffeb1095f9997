#include "UserText.h"

namespace vqx::cli {

namespace {

bool needsEscape(QChar c) {
    switch (c.category()) {
    case QChar::Other_Control:  // C0, DEL, C1: terminal control
    case QChar::Other_Format:   // bidirectional overrides and other invisible marks
    case QChar::Separator_Line: // U+2028
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

QString shown(const QString& text, int limit) {
    QString out;
    const qsizetype n = text.size();
    qsizetype i = 0;
    for (; i < n && i < limit; ++i) {
        const QChar c = text[i];
        // Never cut a surrogate pair in half.
        if (c.isHighSurrogate() && i + 1 == limit)
            break;
        if (!needsEscape(c)) {
            out += c;
            continue;
        }
        switch (c.unicode()) {
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        case 0x1B:
            out += QStringLiteral("\\e");
            break;
        default:
            out += c.unicode() < 0x100
                       ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                       : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        }
    }
    if (i < n)
        out += QStringLiteral("...");
    return out;
}

QString shown(const std::string& utf8, int limit) {
    return shown(QString::fromStdString(utf8), limit);
}

bool isPlainDecimal(const QString& text) {
    if (text.isEmpty() || (text.size() > 1 && text.front() == u'0'))
        return false;
    for (const QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

} // namespace vqx::cli
