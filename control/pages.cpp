#include "control/pages.h"

namespace {

// A fixed path on the configured host.
QUrl pageUrl(QUrl base, const QString& path) {
    base.setPath(path);
    return base;
}

} // namespace

QUrl accountPageUrl(const HostConfig& config) {
    return pageUrl(config.accountBaseUrl, QStringLiteral("/main"));
}

QUrl privacyPolicyUrl(const HostConfig& config) {
    return pageUrl(config.websiteBaseUrl, QStringLiteral("/pp"));
}

QUrl termsOfServiceUrl(const HostConfig& config) {
    return pageUrl(config.websiteBaseUrl, QStringLiteral("/tos"));
}
