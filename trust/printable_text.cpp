#include "printable_text.h"

namespace {

QString hexDigits(char32_t code, int width)
{
    return QString::number(quint32(code), 16).toUpper().rightJustified(width, QLatin1Char('0'));
}

} // namespace

QString printableText(QStringView text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
            shown += QLatin1String("\\x") + hexDigits(code, 2);
            continue;
        }
        if (code < 0x80) {
            shown += c;
            continue;
        }
        char32_t point = code;
        qsizetype length = 1;
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            point = QChar::surrogateToUcs4(c, text[i + 1]);
            length = 2;
        }
        if (QChar::isSurrogate(point) || QChar::category(point) == QChar::Other_Format) {
            shown += QLatin1String("\\u{") + hexDigits(point, 4) + QLatin1Char('}');
        } else {
            shown += text.sliced(i, length);
        }
        i += length - 1;
    }
    return shown;
}
