#include "host/jsonreply.h"

#include "platform/systemlog.h"

#include <QJsonDocument>
#include <QVariant>

#include <cmath>

std::optional<QJsonObject> replyObject(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        systemLog(QStringLiteral("xxoo failed to parse the json result"));
        return std::nullopt;
    }
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

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
