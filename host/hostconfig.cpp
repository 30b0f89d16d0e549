#include "host/hostconfig.h"

std::unique_ptr<QSettings> HostConfig::openSettings() const {
    if (settingsPath.isEmpty())
        return std::make_unique<QSettings>(QStringLiteral("nodepanel"), QStringLiteral("nodepanel"));
    return std::make_unique<QSettings>(settingsPath, QSettings::IniFormat);
}
