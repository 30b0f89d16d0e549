#include "app/application.h"

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "platform/httpexchange.h"
#include "platform/output.h"
#include "platform/terminationsignals.h"

#include "host/utils.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QImageReader>
#include <QLibraryInfo>
#include <QMetaObject>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

#include <unistd.h>

namespace {

// The words of the password prompt for the panel's polkit action, here to be translated with the rest.
// The build writes the action's policy from the translations; the comment names the policy's element.
[[maybe_unused]] const char* const polkitTexts[][2] = {
    QT_TRANSLATE_NOOP3("polkit", "Start or stop the network node", "description"),
    QT_TRANSLATE_NOOP3("polkit", "Authentication is required to start or stop the network node", "message"),
};

// Written out at once: the process ends without flushing buffers.
void print(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// What the first Start, Stop or close would otherwise pay for in the user's own turn, prepared once the
// window has painted for the first time, on the next idle turn: the question's icon on the main thread, as
// pictures must be; the network thread and its upload client on that thread.
class FirstUse : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, [] {
                prepareConfirmation();
                prepareHttpClient();
            });
        }
        return false;
    }
};

} // namespace

HostConfig productionConfig() {
    const auto https = [](const char* host) {
        return QUrl(QStringLiteral("https://") + QString::fromUtf8(host));
    };
    HostConfig config;
    config.statusUrl = QUrl(QStringLiteral("http://localhost:8080/get_status"));
    config.accountBaseUrl = https(NODEPANEL_ACCOUNT_HOST);
    config.websiteBaseUrl = https(NODEPANEL_WEBSITE_HOST);
    config.bundlePath = bundleOfExecutableFolder(QCoreApplication::applicationDirPath());
    config.elevate = ::geteuid() != 0;
    return config;
}

void installTranslations(const QLocale& locale) {
    auto* own = new QTranslator(QCoreApplication::instance());
    if (!own->load(locale, QStringLiteral("nodepanel"), QStringLiteral("_"), QStringLiteral(":/i18n"))) {
        delete own;
        return;
    }
    QCoreApplication::installTranslator(own);
    auto* qt = new QTranslator(QCoreApplication::instance());
    if (qt->load(QStringLiteral("qtbase_") + own->language(),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qt);
    else
        delete qt;
}

int answerCommandLine(const QStringList& arguments) {
    installTranslations();
    QCoreApplication::setApplicationVersion(Utils::appVersion());
    const QString name = QCoreApplication::applicationName();
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "CommandLine", "Shows whether the network node on this computer runs, and starts or stops it."));
    // Our own help option: Qt's would offer --help-all, with Qt's options, which the panel does not take.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QCoreApplication::translate("CommandLine", "Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    // "-platform" is one unknown option, not eight unknown letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);

    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QCoreApplication::translate("CommandLine", "Unexpected argument '%1'.")
                    .arg(parser.positionalArguments().constFirst());
    if (!error.isEmpty()) {
        print(stderr, name + QStringLiteral(": ") + error + QLatin1Char('\n') +
                          QCoreApplication::translate("CommandLine", "Try '%1 --help' for more information.")
                              .arg(name) +
                          QLatin1Char('\n'));
        return 2;
    }
    if (parser.isSet(help))
        print(stdout, parser.helpText());
    else if (parser.isSet(version))
        print(stdout, name + QLatin1Char(' ') + QCoreApplication::applicationVersion() + QLatin1Char('\n'));
    return 0;
}

QString bundleOfExecutableFolder(const QString& folder) {
    return QDir::cleanPath(folder + QStringLiteral("/../.."));
}

void prepareApplication() {
    // Only the quit gate ends the panel; closing the window asks instead.
    QApplication::setQuitOnLastWindowClosed(false);
    // The icon lives in the static core library, which the linker keeps only when asked to.
    Q_INIT_RESOURCE(nodepanel);
    // Desktops match the window to its menu entry by this id, and show the entry's icon for it. Titles
    // and notifications name the application, not the program.
    QGuiApplication::setDesktopFileName(QStringLiteral(NODEPANEL_APP_ID));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Node Panel"));
    // The menu entry's scalable icon, drawn at the sizes a window icon is shown in (resources/icons):
    // pictures read as what they are, so that neither an SVG engine nor every image format's plugin (which
    // a file of unnamed format loads, to ask each one) is loaded for them.
    QIcon icon;
    for (const int size : windowIconSizes) {
        QImageReader picture(QStringLiteral(":/icons/nodepanel-%1.png").arg(size), "png");
        picture.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(picture.read()));
    }
    QApplication::setWindowIcon(icon);
}

void runPanel(const HostConfig& config, const std::function<void(WindowController& window)>& launched) {
    prepareApplication();
    AppDelegate delegate;
    onTerminationSignals(&delegate, [] { QCoreApplication::exit(0); });
    WindowController window(std::make_shared<const HostConfig>(config));
    FirstUse firstUse;
    window.installEventFilter(&firstUse);
    window.show();
    QMetaObject::invokeMethod(
        &delegate,
        [&] {
            delegate.applicationDidFinishLaunching();
            if (launched)
                launched(window);
        },
        Qt::QueuedConnection);
    exitProcessNow(QApplication::exec());
}
