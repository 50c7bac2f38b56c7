#include "line_text.h"

#include "protocol/cp1252.h"

#include <QString>
#include <QStringDecoder>

#include <cstdio>

namespace sim {

std::optional<std::string> lineBytesFromUtf8(std::string_view utf8, std::string &error)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(QByteArrayView(utf8.data(), qsizetype(utf8.size())));
    if (decoder.hasError()) {
        error = "not valid UTF-8";
        return std::nullopt;
    }
    std::string bytes = Windows1252::fromUnicode(text.toStdU16String());
    // A character the code page cannot hold came out as '?': it does not decode back.
    const QString back = QString::fromStdU16String(Windows1252::toUnicode(bytes));
    for (qsizetype i = 0, j = 0; i < text.size(); ++j) {
        const qsizetype width = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        if (back[j] != text[i] || width == 2) {
            error = "'" + text.mid(i, width).toStdString() + "' has no Windows-1252 byte";
            return std::nullopt;
        }
        i += width;
    }
    return bytes;
}

std::string quoted(std::string_view line)
{
    std::string out = "\"";
    for (unsigned char c : line) {
        if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else {
            const char one = char(c);
            out += QString::fromStdU16String(Windows1252::toUnicode({&one, 1})).toStdString();
        }
    }
    return out + "\"";
}

std::string hexBytes(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

} // namespace sim
