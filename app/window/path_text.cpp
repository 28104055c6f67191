#include "app/window/path_text.hpp"

#include <QChar>
#include <array>

namespace dunmarrow {

namespace {

constexpr QChar zeroWidthSpace(0x200B);  // a break allowed here
constexpr QChar wordJoiner(0x2060);      // no break here
constexpr QChar noBreakSpace(0x00A0);

// What ends a path inside a sentence of the app's.
bool endsPath(const QString& text, qsizetype at) {
    static const std::array<QString, 4> ends = {QStringLiteral("; "), QStringLiteral(": "),
                                                QStringLiteral(" \u2014 "),
                                                QStringLiteral(" \u2192 ")};
    for (const QString& end : ends) {
        if (QStringView(text).mid(at).startsWith(end)) return true;
    }
    return false;
}

}  // namespace

QString localText(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString breakableAtSeparators(const QString& text) {
    QString result;
    result.reserve(text.size() * 2);
    bool inPath = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        // An absolute path begins the text or follows a space.
        if (!inPath && c == QLatin1Char('/') && (i == 0 || text.at(i - 1).isSpace())) inPath = true;
        if (inPath && endsPath(text, i)) inPath = false;
        if (!inPath) {
            result += c;
        } else if (c == QLatin1Char('/')) {
            result += c;
            result += zeroWidthSpace;
        } else if (c == QLatin1Char(' ')) {
            result += noBreakSpace;
        } else {
            result += c;
            if (c == QLatin1Char('-')) result += wordJoiner;
        }
    }
    return result;
}

QString withoutBreakHints(QString text) {
    return text.remove(zeroWidthSpace).remove(wordJoiner).replace(noBreakSpace, QLatin1Char(' '));
}

}  // namespace dunmarrow
