#include "platform/hostconfig.h"

#include <QMutex>

#include <unistd.h>

namespace {

QMutex configMutex;
std::shared_ptr<const HostConfig> current;

QUrl httpsBase(const char* host) {
    return QUrl(QStringLiteral("https://") + QString::fromUtf8(host));
}

} // namespace

HostConfig HostConfig::production() {
    HostConfig config;
    config.statusUrl = QUrl(QStringLiteral("http://localhost:8080/get_status"));
    config.accountBaseUrl = httpsBase(NODEPANEL_ACCOUNT_HOST);
    config.websiteBaseUrl = httpsBase(NODEPANEL_WEBSITE_HOST);
    config.elevate = geteuid() != 0;
    return config;
}

std::shared_ptr<const HostConfig> hostConfig() {
    QMutexLocker lock(&configMutex);
    if (!current)
        current = std::make_shared<const HostConfig>(HostConfig::production());
    return current;
}

void installHostConfig(HostConfig config) {
    auto replacement = std::make_shared<const HostConfig>(std::move(config));
    QMutexLocker lock(&configMutex);
    current = std::move(replacement);
}

std::unique_ptr<QSettings> openSettings() {
    const QString path = hostConfig()->settingsPath;
    if (path.isEmpty())
        return std::make_unique<QSettings>(QStringLiteral("nodepanel"), QStringLiteral("nodepanel"));
    return std::make_unique<QSettings>(path, QSettings::IniFormat);
}
