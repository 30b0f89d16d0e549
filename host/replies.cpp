#include "host/replies.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

#include <cmath>

namespace {

// Nothing when the body is not JSON. A top-level array reads as an empty object: no key is found in it.
std::optional<QJsonObject> parsed(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    return document.object();
}

// The integer a JSON number with an integral value holds, when it fits 64 bits. Booleans, strings and
// null are not numbers.
std::optional<qint64> integralValue(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    // Integers too large for a double are kept exactly by the parser.
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    const double number = value.toDouble();
    // 2^63 is exactly representable; anything from there up does not fit.
    if (std::trunc(number) != number || number < -9223372036854775808.0 || number >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(number);
}

// Optional("..."), with the quote and the backslash escaped and control characters written as escapes, so
// that a reply can never spread over several log lines.
QString quotedError(const QString& text) {
    QString out = QStringLiteral("Optional(\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'"':
            out += QStringLiteral("\\\"");
            break;
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        default:
            if (c.category() == QChar::Other_Control)
                out += QStringLiteral("\\u{") + QString::number(c.unicode(), 16) + QLatin1Char('}');
            else
                out += c;
        }
    }
    return out + QStringLiteral("\")");
}

} // namespace

std::optional<ServiceState> stateFromStatusBody(const QByteArray& body) {
    const std::optional<QJsonObject> reply = parsed(body);
    if (!reply)
        return std::nullopt;
    const std::optional<qint64> raw = integralValue(reply->value(QLatin1String("state")));
    if (!raw)
        return ServiceState::deviceStateDown;
    return serviceStateFromRaw(*raw).value_or(ServiceState::deviceStateDown);
}

std::optional<QString> uploadResultLine(const QByteArray& body) {
    const std::optional<QJsonObject> reply = parsed(body);
    if (!reply)
        return unparsableReplyLine;
    const std::optional<qint64> succ = integralValue(reply->value(QLatin1String("succ")));
    if (!succ)
        return std::nullopt;
    const QString result = QStringLiteral("xxoo log result = ") + QString::number(*succ);
    if (*succ >= 0)
        return result;
    const QJsonValue err = reply->value(QLatin1String("err"));
    return result + QStringLiteral(", err = ") +
           (err.isString() ? quotedError(err.toString()) : QStringLiteral("nil"));
}
