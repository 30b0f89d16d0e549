#include "app/aboutbox.h"

#include "control/pages.h"
#include "host/utils.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AboutBox::AboutBox(const HostConfig& config, QWidget* parent)
    : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(tr("About Node Panel"));

    auto* icon = new QLabel(this);
    icon->setPixmap(QGuiApplication::windowIcon().pixmap(64, 64));
    icon->setAccessibleName(tr("Node Panel icon"));
    auto* name = new QLabel(tr("Node Panel"), this);
    QFont large = name->font();
    large.setPointSizeF(large.pointSizeF() * 1.5);
    large.setBold(true);
    name->setFont(large);
    auto* version = new QLabel(tr("Version %1").arg(Utils::appVersion()), this);
    version->setObjectName(QStringLiteral("versionText"));
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* purpose =
        new QLabel(tr("Shows whether the network node on this computer runs, and starts or stops it."), this);
    purpose->setWordWrap(true);
    auto* qt = new QLabel(tr("Runs on Qt %1").arg(QString::fromLatin1(qVersion())), this);
    qt->setObjectName(QStringLiteral("qtText"));

    auto* links = new QHBoxLayout;
    const auto link = [this, links](const QString& text, const QString& objectName, const QUrl& url) {
        auto* button = new QPushButton(text, this);
        button->setObjectName(objectName);
        button->setAutoDefault(false);
        button->setAccessibleDescription(tr("Opens %1 in the web browser").arg(url.toDisplayString()));
        connect(button, &QPushButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
        links->addWidget(button);
    };
    link(tr("&My Account"), QStringLiteral("accountLink"), accountPageUrl(config));
    link(tr("&Privacy Policy"), QStringLiteral("privacyLink"), privacyPolicyUrl(config));
    link(tr("&Terms of Service"), QStringLiteral("termsLink"), termsOfServiceUrl(config));
    links->addStretch();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(version);
    text->addWidget(purpose);
    text->addSpacing(6);
    text->addLayout(links);
    text->addSpacing(6);
    text->addWidget(qt);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    purpose->setMinimumWidth(360);
}
