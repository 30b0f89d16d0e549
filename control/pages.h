#pragma once

#include "host/hostconfig.h"

#include <QUrl>

// The pages the panel opens in the browser, wherever it offers them (the window, the About box): the
// account page on the account server, the legal pages on the public web site.
QUrl accountPageUrl(const HostConfig& config);
QUrl privacyPolicyUrl(const HostConfig& config);
QUrl termsOfServiceUrl(const HostConfig& config);
