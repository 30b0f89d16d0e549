#include "host/utils.h"

#include "host/remotelog.h"
#include "host/replies.h"
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

} // namespace

QByteArray encodedLogLine(const QString& message) {
    QString line = message;
    line.replace(QLatin1Char(';'), QLatin1Char(','));
    return line.toUtf8().toPercentEncoding(queryCharactersKept);
}

QString osVersionFromRelease(const QString& release) {
    // Parsing stops at the first character that does not continue the dotted numbers.
    const QVersionNumber version = QVersionNumber::fromString(release);
    return QStringLiteral("Mac %1.%2.%3")
        .arg(version.segmentAt(0))
        .arg(version.segmentAt(1))
        .arg(version.segmentAt(2));
}

void Utils::uploadLog(const HostConfig& config, const QString& message) {
    QUrl url = config.accountBaseUrl;
    url.setPath(QStringLiteral("/api/upload_log"));

    const QByteArray line = encodedLogLine(message);
    writeStdoutLine(line);

    HttpRequest request;
    request.request = QNetworkRequest(url);
    request.request.setRawHeader("Accept", "application/json");
    // Qt would add this one anyway, with a warning on every upload.
    request.request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.verb = "POST";
    // The identifier is encoded as the line is, so a hand-edited one cannot add form fields; the system
    // version goes with its space. Read, or made and stored, on the network thread, in the order of the
    // uploads: storing a new one waits for the disk (30 ms once in the benchmark), which the first Start's
    // turn waited for.
    request.makeBody = [config, line] {
        return "d=" + deviceUUID(config).toUtf8().toPercentEncoding(queryCharactersKept) +
               "&o=" + osVersionString().toUtf8() + "&v=" + appVersion().toUtf8() + "&l=" + line;
    };
    request.timeout = config.httpTimeout;
    request.extraCaCertificates = config.extraCaCertificates;
    sendHttpRequest(std::move(request),
                    [](HttpOutcome outcome) { reportUploadResult(outcome.body, outcome.transportError); });
}

void Utils::reportUploadResult(const std::optional<QByteArray>& body,
                               const std::optional<QString>& transportError) {
    if (transportError || !body)
        return;
    if (const std::optional<QString> line = uploadResultLine(*body))
        systemLog(*line);
}

QString Utils::deviceUUID(const HostConfig& config) {
    // Reading and creating are one step, so that two first uploads on two threads cannot each create an
    // identifier of their own.
    static QMutex mutex;
    // The one made in this run: used again when the settings cannot keep it (read-only, no home folder),
    // so that the installation keeps one identifier at least for as long as the panel runs.
    static QString created;
    QMutexLocker lock(&mutex);
    const auto settings = config.openSettings();
    if (settings->contains(uuidKey)) {
        // Whatever is stored is the identifier, even what no upload would have made.
        const QVariant stored = settings->value(uuidKey);
        if (stored.typeId() == QMetaType::QStringList)
            return stored.toStringList().join(QStringLiteral(", "));
        return stored.isValid() ? stored.toString() : QStringLiteral("@Invalid()");
    }
    if (created.isEmpty())
        created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    settings->setValue(uuidKey, created);
    settings->sync();
    return created;
}

QString Utils::osVersionString() {
    // The kernel's release as uname() reports it, e.g. "6.1.0-18-amd64".
    return osVersionFromRelease(QSysInfo::kernelVersion());
}

QString Utils::appVersion() {
    const QString version = QString::fromUtf8(NODEPANEL_VERSION);
    return version.isEmpty() ? QStringLiteral("unknown") : version;
}
