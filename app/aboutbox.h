#pragma once

#include "host/hostconfig.h"

#include <QDialog>

// "About Node Panel": the name, version and purpose, the account and legal pages (the same addresses as
// the window's), and the version of Qt the panel runs on. Not modal: the window stays usable beside it.
class AboutBox : public QDialog {
    Q_OBJECT

public:
    AboutBox(const HostConfig& config, QWidget* parent = nullptr);
};
