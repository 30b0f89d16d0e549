#include "host/utils.h"

#include "host/jsonreply.h"
#include "platform/hostconfig.h"
#include "platform/httpexchange.h"
#include "platform/output.h"
#include "platform/systemlog.h"

#include <QMutex>
#include <QSysInfo>
#include <QUuid>
#include <QVersionNumber>

namespace {

const QString uuidKey = QStringLiteral("uuid");

// What a URL query may hold as it is, besides letters, digits and "-._~", which are never encoded. "&",
// "=" and "+" are missing on purpose: left raw, the server would cut the line into extra form fields or
// read "+" as a space.
const QByteArray queryCharactersKept = "!$'()*,;:@/?";

QByteArray encodedLine(const QString& message) {
    QString line = message;
    line.replace(QLatin1Char(';'), QLatin1Char(','));
    return line.toUtf8().toPercentEncoding(queryCharactersKept);
}

// The error text as the result line has always shown it: Optional("..."). Control characters become
// escapes, so that a reply can never spread over several log lines.
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

void Utils::uploadLog(const QString& message) {
    const auto config = hostConfig();
    QUrl url = config->accountBaseUrl;
    url.setPath(QStringLiteral("/api/upload_log"));

    const QByteArray line = encodedLine(message);
    writeStdoutLine(line);

    // The tags go as they are: the identifier as stored, the system version with its space.
    const QByteArray body = "d=" + deviceUUID().toUtf8() + "&o=" + osVersionString().toUtf8() +
                            "&v=" + appVersion().toUtf8() + "&l=" + line;

    HttpRequest request;
    request.client = HttpClient::Shared;
    request.request = QNetworkRequest(url);
    request.request.setRawHeader("Accept", "application/json");
    // Qt would add this one anyway, with a warning on every upload.
    request.request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.verb = "POST";
    request.body = body;
    request.timeout = config->httpTimeout;
    request.extraCaCertificates = config->extraCaCertificates;
    sendHttpRequest(std::move(request),
                    [](HttpOutcome outcome) { reportUploadResult(outcome.body, outcome.transportError); });
}

void Utils::reportUploadResult(const std::optional<QByteArray>& body,
                               const std::optional<QString>& transportError) {
    if (transportError || !body)
        return;
    const std::optional<QJsonObject> reply = replyObject(*body);
    if (!reply)
        return;
    const std::optional<qint64> succ = integralValue(reply->value(QLatin1String("succ")));
    if (!succ)
        return;
    const QString result = QStringLiteral("xxoo log result = ") + QString::number(*succ);
    if (*succ >= 0) {
        systemLog(result);
        return;
    }
    const QJsonValue err = reply->value(QLatin1String("err"));
    systemLog(result + QStringLiteral(", err = ") +
              (err.isString() ? quotedError(err.toString()) : QStringLiteral("nil")));
}

QString Utils::deviceUUID() {
    // Reading and creating are one step, so that two first uploads on two threads cannot each create an
    // identifier of their own.
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    const auto settings = openSettings();
    const QVariant stored = settings->value(uuidKey);
    if (stored.typeId() == QMetaType::QString)
        return stored.toString();
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    settings->setValue(uuidKey, created);
    settings->sync();
    return created;
}

QString Utils::osVersionString() {
    // The kernel's release as uname() reports it, e.g. "6.1.0-18-amd64".
    return osVersionFromRelease(QSysInfo::kernelVersion());
}

QString Utils::osVersionFromRelease(const QString& release) {
    // Parsing stops at the first character that does not continue the dotted numbers.
    const QVersionNumber version = QVersionNumber::fromString(release);
    return QStringLiteral("Mac %1.%2.%3")
        .arg(version.segmentAt(0))
        .arg(version.segmentAt(1))
        .arg(version.segmentAt(2));
}

QString Utils::appVersion() {
    const QString version = QString::fromUtf8(NODEPANEL_VERSION);
    return version.isEmpty() ? QStringLiteral("unknown") : version;
}
