// The installed bundle: its layout, and modes that the script runner's safety check accepts.
#include "host/utils.h"
#include "platform/hostconfig.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestInstall : public QObject {
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString prefix;

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

private slots:
    void initTestCase() {
        QVERIFY(scratch.isValid());
        prefix = scratch.filePath(QStringLiteral("nodepanel"));
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(CMAKE_COMMAND),
                      {QStringLiteral("--install"), QStringLiteral(NODEPANEL_BUILD_DIR),
                       QStringLiteral("--prefix"), prefix});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    }

    void hasTheBundleLayout() {
        QStringList entries;
        QDirIterator it(prefix, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            entries.append(QDir(prefix).relativeFilePath(it.next()));
        entries.sort();
        QCOMPARE(entries, (QStringList{"Contents", "Contents/Resources", "Contents/Resources/bash",
                                       "Contents/Resources/manager.sh", "Contents/Resources/sample-node",
                                       "Contents/bin", "Contents/bin/nodepanel"}));
        QCOMPARE(QFileInfo(prefix + "/Contents/Resources/bash").symLinkTarget(), QStringLiteral("/bin/bash"));
        for (const char* program :
             {"Contents/bin/nodepanel", "Contents/Resources/manager.sh", "Contents/Resources/sample-node"})
            QVERIFY2(QFileInfo(prefix + '/' + QLatin1String(program)).isExecutable(), program);
    }

    // Nothing in the bundle may be changed by anyone but its owner.
    void isWritableByItsOwnerOnly() {
        QDirIterator it(prefix, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        QStringList entries{prefix};
        while (it.hasNext())
            entries.append(it.next());
        for (const QString& entry : entries) {
            struct stat info {};
            QCOMPARE(::lstat(QFile::encodeName(entry).constData(), &info), 0);
            if (S_ISLNK(info.st_mode))
                continue;
            QVERIFY2(!(info.st_mode & (S_IWGRP | S_IWOTH)), qPrintable(entry));
            QCOMPARE(info.st_uid, ::geteuid());
        }
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
