// The installed panel, staged with DESTDIR: the bundle's layout and modes that the script runner's safety
// check accepts, and the menu entry, icon and AppStream metadata where desktops look for them.
#include "host/utils.h"
#include "platform/hostconfig.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString appId = QStringLiteral(NODEPANEL_APP_ID);

// Every entry below root, relative to it, sorted.
QStringList treeBelow(const QString& root) {
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(QDir(root).relativeFilePath(it.next()));
    entries.sort();
    return entries;
}

// The keys of a desktop entry's [Desktop Entry] group.
QMap<QString, QString> desktopEntryKeys(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QMap<QString, QString> keys;
    bool inGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'['))
            inGroup = line == QLatin1String("[Desktop Entry]");
        else if (inGroup && line.contains(u'='))
            keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    }
    return keys;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString stage;   // DESTDIR
    QString prefix;  // the bundle, as staged
    QString desktop; // the desktop prefix, as staged

    // Runs the installed bundle's node command through the elevation path, with a stand-in for pkexec that
    // runs nothing: only the safety check decides.
    std::optional<ScriptError> elevatedRun() {
        HostConfig config = HostConfig::production();
        config.bundlePath = prefix;
        config.elevate = true;
        config.elevationProgram = QStringLiteral("/bin/true");
        config.trustedOwnerUid = ::geteuid();
        config.accountBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
        installHostConfig(config);
        return Utils::runPrivilegedScript(QStringLiteral("./manager.sh up"));
    }

    QString desktopEntryPath() const { return desktop + "/share/applications/" + appId + ".desktop"; }
    QString iconPath() const { return desktop + "/share/icons/hicolor/scalable/apps/" + appId + ".svg"; }
    QString metainfoPath() const { return desktop + "/share/metainfo/" + appId + ".metainfo.xml"; }

private slots:
    void initTestCase() {
        QVERIFY(scratch.isValid());
        // The desktop files go to an absolute place outside the prefix: staged, nothing leaves scratch.
        stage = scratch.filePath(QStringLiteral("stage"));
        prefix = stage + QStringLiteral(NODEPANEL_INSTALL_PREFIX);
        desktop = stage + QStringLiteral(NODEPANEL_DESKTOP_PREFIX);
        QProcess install;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DESTDIR"), stage);
        install.setProcessEnvironment(environment);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(CMAKE_COMMAND),
                      {QStringLiteral("--install"), QStringLiteral(NODEPANEL_BUILD_DIR)});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    }

    void hasTheBundleLayout() {
        QCOMPARE(treeBelow(prefix),
                 (QStringList{"Contents", "Contents/Resources", "Contents/Resources/bash",
                              "Contents/Resources/manager.sh", "Contents/Resources/sample-node",
                              "Contents/bin", "Contents/bin/nodepanel"}));
        QCOMPARE(QFileInfo(prefix + "/Contents/Resources/bash").symLinkTarget(), QStringLiteral("/bin/bash"));
        for (const char* program :
             {"Contents/bin/nodepanel", "Contents/Resources/manager.sh", "Contents/Resources/sample-node"})
            QVERIFY2(QFileInfo(prefix + '/' + QLatin1String(program)).isExecutable(), program);
    }

    // Besides the bundle, the install adds the three desktop files and nothing else.
    void installsOnlyTheBundleAndTheDesktopFiles() {
        QStringList expected;
        const auto addWithFolders = [&](const QString& path) {
            for (QString entry = QDir(stage).relativeFilePath(path); entry != QLatin1String(".");
                 entry = QFileInfo(entry).path())
                if (!expected.contains(entry))
                    expected.append(entry);
        };
        for (const QString& entry : treeBelow(prefix))
            addWithFolders(prefix + '/' + entry);
        addWithFolders(desktopEntryPath());
        addWithFolders(iconPath());
        addWithFolders(metainfoPath());
        expected.sort();
        QCOMPARE(treeBelow(stage), expected);
    }

    // Nothing installed may be changed by anyone but its owner.
    void isWritableByItsOwnerOnly() {
        for (const QString& relative : treeBelow(stage)) {
            const QString entry = stage + '/' + relative;
            struct stat info {};
            QCOMPARE(::lstat(QFile::encodeName(entry).constData(), &info), 0);
            if (S_ISLNK(info.st_mode))
                continue;
            QVERIFY2(!(info.st_mode & (S_IWGRP | S_IWOTH)), qPrintable(entry));
            QCOMPARE(info.st_uid, ::geteuid());
        }
    }

    // The menu entry starts the installed panel by its absolute path and shows the installed icon.
    void menuEntryStartsTheInstalledPanel() {
        const QMap<QString, QString> keys = desktopEntryKeys(desktopEntryPath());
        QCOMPARE(keys.value(QStringLiteral("Type")), QStringLiteral("Application"));
        const QString exec = keys.value(QStringLiteral("Exec"));
        QCOMPARE(exec, QStringLiteral(NODEPANEL_INSTALL_PREFIX "/Contents/bin/nodepanel"));
        QVERIFY2(QFileInfo(stage + exec).isExecutable(), qPrintable(stage + exec));
        QCOMPARE(keys.value(QStringLiteral("Icon")), appId);
        // The X11 window class of the panel is its executable's name.
        QCOMPARE(keys.value(QStringLiteral("StartupWMClass")), QFileInfo(exec).fileName());
    }

    // The icon desktops show is the one the window shows.
    void installsTheWindowIcon() {
        QFile installed(iconPath());
        QFile source(QStringLiteral(NODEPANEL_SOURCE_DIR "/resources/nodepanel.svg"));
        QVERIFY(installed.open(QIODevice::ReadOnly));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCOMPARE(installed.readAll(), source.readAll());
    }

    // The AppStream component is the application id and launches the menu entry.
    void metainfoNamesTheMenuEntry() {
        QFile file(metainfoPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QString id;
        QString launchable;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("id") && id.isNull())
                id = xml.readElementText();
            else if (xml.name() == QLatin1String("launchable") &&
                     xml.attributes().value(QLatin1String("type")) == QLatin1String("desktop-id"))
                launchable = xml.readElementText();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(id, appId);
        QCOMPARE(launchable, appId + ".desktop");
    }

    void passesTheSafetyCheck() {
        const std::optional<ScriptError> refusal = elevatedRun();
        QVERIFY2(!refusal,
                 refusal ? qPrintable(refusal->value(Utils::scriptErrorMessageKey).toString()) : "");
    }

    // The check does look at the installed files: one loosened mode is enough to refuse.
    void refusesALoosenedFile() {
        const QString script = prefix + QStringLiteral("/Contents/Resources/manager.sh");
        QVERIFY(::chmod(QFile::encodeName(script).constData(), 0777) == 0);
        const std::optional<ScriptError> refusal = elevatedRun();
        QVERIFY(refusal);
        QVERIFY(refusal->value(Utils::scriptErrorMessageKey).toString().contains(script));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
