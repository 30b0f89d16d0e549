#include "app/application.h"

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "platform/output.h"
#include "platform/terminationsignals.h"

#include "host/utils.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QHash>
#include <QIcon>
#include <QIconEngine>
#include <QImageReader>
#include <QLibraryInfo>
#include <QMetaObject>
#include <QProxyStyle>
#include <QStyleOption>
#include <QTimer>
#include <QTranslator>

#include <cerrno>
#include <cstdio>
#include <thread>

#include <malloc.h>
#include <unistd.h>

namespace {

// The words of the password prompt for the panel's polkit action, here to be translated with the rest.
// The build writes the action's policy from the translations; the comment names the policy's element.
[[maybe_unused]] const char* const polkitTexts[][2] = {
    QT_TRANSLATE_NOOP3("polkit", "Start or stop the network node", "description"),
    QT_TRANSLATE_NOOP3("polkit", "Authentication is required to start or stop the network node", "message"),
};

// Written out at once, as the process ends without flushing buffers. False, with errno, when it was not.
bool print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) &&
           std::fflush(stream) == 0;
}

// Building the window and reading its form leave freed heap behind, which the panel, open for days, would
// otherwise keep resident: given back once the window has painted for the first time, on the next idle
// turn, on a thread of its own, as walking the heap takes a while on a busy machine. (The network thread
// and its upload client are made by the first upload, on that thread: made here in advance, they kept
// about 0.2 MiB resident for a start whose stall they did not measurably shorten.)
class AfterFirstPaint : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, [] { std::thread([] { ::malloc_trim(0); }).detach(); });
        }
        return false;
    }
};

// A picture read as the format it is. A reader left to guess the format asks every image format plugin
// first, which loads them all (and the SVG and JPEG libraries with them) for good.
QPixmap readPicture(const QString& path, const char* format) {
    QImageReader picture(path, format);
    picture.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(picture.read());
}

// An icon drawn at a few sizes, each picture read from its file the first time it is asked for. Another size
// or mode comes from a QIcon of them all, made for the occasion.
class PictureFiles : public QIconEngine {
public:
    // The file of each size is pattern with %1 as the size.
    PictureFiles(const QString& pattern, const QList<int>& sizes, const char* format)
        : pattern_(pattern)
        , sizes_(sizes)
        , format_(format) {}

    // A picture of another shape than asked (Fusion's arrows are narrower than high) is fitted by a QIcon.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        if (mode == QIcon::Normal && size.width() == size.height() && sizes_.contains(size.width()))
            if (QPixmap picture = read(size.width()); picture.size() == size)
                return picture;
        return pictures().pixmap(size, mode, state);
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        pictures().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return pixmap(size, mode, state).size();
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (const int size : sizes_)
            sizes.append(QSize(size, size));
        return sizes;
    }
    QIconEngine* clone() const override { return new PictureFiles(pattern_, sizes_, format_); }
    QString key() const override { return QStringLiteral("PictureFiles"); }

private:
    // The window system asks for every size twice as a window is made. Each picture is read once and kept
    // (85 kB): reading all four again for each new window, 2.2 million instructions of inflating and
    // decoding, was half of what making the window of a question cost.
    QPixmap read(int size) {
        QPixmap& picture = read_[size];
        if (picture.isNull())
            picture = readPicture(pattern_.arg(size), format_);
        return picture;
    }
    QIcon pictures() const {
        QIcon icon;
        for (const int size : sizes_)
            icon.addPixmap(readPicture(pattern_.arg(size), format_));
        return icon;
    }

    QString pattern_;
    QList<int> sizes_;
    const char* format_;
    QHash<int, QPixmap> read_;
};

// The application's own style, but for the arrow of the menu bar's overflow button: every menu bar asks
// for it as it is built, and Fusion adds its pictures by file name, which loads every image format plugin
// to read three small PNGs. The same pictures, read as PNGs, and only once the arrow is drawn: a menu bar
// that never overflows never decodes a picture.
class PngArrowStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QIcon standardIcon(StandardPixmap which, const QStyleOption* option,
                       const QWidget* widget) const override {
        if (which != SP_ToolBarHorizontalExtensionButton || baseStyle()->name() != QLatin1String("fusion"))
            return QProxyStyle::standardIcon(which, option, widget);
        const bool rtl = option ? option->direction == Qt::RightToLeft : QGuiApplication::isRightToLeft();
        return QIcon(
            new PictureFiles(QStringLiteral(":/qt-project.org/styles/commonstyle/images/toolbar-ext-h-") +
                                 QLatin1String(rtl ? "rtl-" : "") + QStringLiteral("%1.png"),
                             {8, 16, 32}, "png"));
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

namespace {

// Qt's own options, taken by the application object before the panel sees its command line: a session
// manager restores the panel with -session, and every Qt program takes -platform, -style and the rest.
// First those that take a value, then those that do not.
const char* const qtOptionsWithValue[] = {"platform",
                                          "platformpluginpath",
                                          "platformtheme",
                                          "plugin",
                                          "qwindowgeometry",
                                          "qwindowicon",
                                          "qwindowtitle",
                                          "session",
                                          "display",
                                          "geometry",
                                          "title",
                                          "icon",
                                          "name",
                                          "visual",
                                          "ncols",
                                          "im",
                                          "inputstyle",
                                          "style",
                                          "stylesheet"};
const char* const qtFlags[] = {"reverse", "nograb", "dograb", "sync", "cmap", "testability", "widgetcount"};

// The panel's own options, --help and --version, besides Qt's, which its help does not show.
struct CommandLine {
    CommandLine() {
        parser.setApplicationDescription(QCoreApplication::translate(
            "CommandLine", "Shows whether the network node on this computer runs, and starts or stops it."));
        for (const char* name : qtOptionsWithValue) {
            QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
            option.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(option);
        }
        for (const char* name : qtFlags) {
            QCommandLineOption option(QString::fromLatin1(name));
            option.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(option);
        }
        // "-platform" is one option, as Qt reads it, not eight letters.
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    }

    QCommandLineParser parser;
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                                  QCoreApplication::translate("CommandLine", "Displays this help.")};
    // Our own help option, first: Qt's would offer --help-all, with Qt's options.
    const QCommandLineOption version = (parser.addOption(help), parser.addVersionOption());
};

// Control characters as \xNN: an argument echoed to a terminal must not retitle or recolour it.
QString escapedControls(const QString& text) {
    QString shown;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            shown += QStringLiteral("\\x") +
                     QString::number(c.unicode(), 16).rightJustified(2, QLatin1Char('0')).toUpper();
        else
            shown += c;
    }
    return shown;
}

} // namespace

bool commandLineStartsPanel(const QStringList& arguments) {
    CommandLine line;
    return line.parser.parse(arguments) && line.parser.positionalArguments().isEmpty() &&
           !line.parser.isSet(line.help) && !line.parser.isSet(line.version);
}

int answerCommandLine(const QStringList& arguments) {
    installTranslations();
    QCoreApplication::setApplicationVersion(Utils::appVersion());
    const QString name = QCoreApplication::applicationName();
    CommandLine line;
    QCommandLineParser& parser = line.parser;

    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QCoreApplication::translate("CommandLine", "Unexpected argument '%1'.")
                    .arg(parser.positionalArguments().constFirst());
    if (!error.isEmpty()) {
        print(stderr, name + QStringLiteral(": ") + escapedControls(error) + QLatin1Char('\n') +
                          QCoreApplication::translate("CommandLine", "Try '%1 --help' for more information.")
                              .arg(name) +
                          QLatin1Char('\n'));
        return 2;
    }
    QString text = parser.helpText();
    if (!parser.isSet(line.help))
        text = name + QLatin1Char(' ') + QCoreApplication::applicationVersion() + QLatin1Char('\n');
    if (!print(stdout, text)) {
        const int why = errno;
        print(stderr, name + QStringLiteral(": ") +
                          QCoreApplication::translate("CommandLine", "Cannot write to standard output: %1")
                              .arg(qt_error_string(why)) +
                          QLatin1Char('\n'));
        return 1;
    }
    return 0;
}

std::unique_ptr<QApplication> openApplication(int& argc, char** argv) {
    // With shared memory, Qt waits for the display server to answer before it draws into a part of the
    // window the server may still be reading: a round trip for each tick of the clock and each frame of the
    // busy bar, which wakes the panel twice and holds it for as long as the server is late (24 ms seen). The
    // panel's frames are small enough to send. Qt reads the setting as it connects; unset after that, so
    // that what the panel starts (the browser, the administrator prompt) gets the user's environment.
    const char* const sendFrames = "QT_XCB_NO_MITSHM";
    const bool usersOwn = qEnvironmentVariableIsSet(sendFrames);
    if (!usersOwn)
        qputenv(sendFrames, "1");
    auto app = std::make_unique<QApplication>(argc, argv);
    if (!usersOwn)
        qunsetenv(sendFrames);
    return app;
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
    // a file of unnamed format loads, to ask each one) is loaded for them. Uncompressed bitmaps, which Qt
    // reads itself: the PNG library's decoder and colour handling would stay resident for four small
    // pictures sent to the window system once. The window system takes a copy of each size as a window is
    // made, and the About box draws one.
    QApplication::setWindowIcon(
        QIcon(new PictureFiles(QStringLiteral(":/icons/nodepanel-%1.bmp"),
                               QList<int>(std::begin(windowIconSizes), std::end(windowIconSizes)), "bmp")));
    // Taking over the style object the application already has, not building a second one.
    if (!dynamic_cast<PngArrowStyle*>(QApplication::style()))
        QApplication::setStyle(new PngArrowStyle(QApplication::style()));
}

void runPanel(const HostConfig& config, const std::function<void(WindowController& window)>& launched) {
    prepareApplication();
    AppDelegate delegate;
    onTerminationSignals(&delegate, [] { QCoreApplication::exit(0); });
    WindowController window(std::make_shared<const HostConfig>(config));
    AfterFirstPaint afterFirstPaint;
    window.installEventFilter(&afterFirstPaint);
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
