// The Debian package cpack makes from this build: what it depends on, who owns its files, and that it
// holds a complete desktop application.
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString appId = QStringLiteral(NODEPANEL_APP_ID);
const QString prefix = QStringLiteral("." NODEPANEL_INSTALL_PREFIX);
const QString desktop = QStringLiteral("." NODEPANEL_DESKTOP_PREFIX);

struct Run {
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Run result;
    if (process.waitForFinished(240000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.output = process.readAll();
    return result;
}

// The package names a Depends field asks for, alternatives included, without their versions.
QStringList dependedOn(const QString& field) {
    QStringList names;
    for (const QString& clause : field.split(QRegularExpression(QStringLiteral("[,|]")), Qt::SkipEmptyParts))
        names.append(clause.trimmed().section(u' ', 0, 0).section(u':', 0, 0));
    return names;
}

// One line of "dpkg-deb -c".
struct Entry {
    QString mode;
    QString owner;
    QString path;
    QString linkTarget;
};

} // namespace

class TestDebPackage : public QObject {
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString package;

private slots:
    void initTestCase() {
        QVERIFY(scratch.isValid());
        const Run cpack =
            run(QStringLiteral(CPACK_COMMAND),
                {QStringLiteral("--config"), QStringLiteral(NODEPANEL_BUILD_DIR "/CPackConfig.cmake"),
                 QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"),
                 scratch.filePath(QStringLiteral("out"))});
        QVERIFY2(cpack.exitCode == 0, cpack.output.constData());

        const Run arch = run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
        QCOMPARE(arch.exitCode, 0);
        const QString name = QStringLiteral("nodepanel_" NODEPANEL_VERSION "_") +
                             QString::fromUtf8(arch.output).trimmed() + ".deb";
        QCOMPARE(
            QDir(scratch.filePath(QStringLiteral("out"))).entryList({QStringLiteral("*.deb")}, QDir::Files),
            QStringList{name});
        package = scratch.filePath(QStringLiteral("out/") + name);
    }

    void controlFields() {
        const Run fields =
            run(QStringLiteral("dpkg-deb"),
                {QStringLiteral("-f"), package, QStringLiteral("Package"), QStringLiteral("Version"),
                 QStringLiteral("Section"), QStringLiteral("Maintainer"), QStringLiteral("Depends")});
        QCOMPARE(fields.exitCode, 0);
        QMap<QString, QString> values;
        for (const QString& line : QString::fromUtf8(fields.output).split(u'\n', Qt::SkipEmptyParts))
            values.insert(line.section(QStringLiteral(": "), 0, 0), line.section(QStringLiteral(": "), 1));
        QCOMPARE(values.value(QStringLiteral("Package")), QStringLiteral("nodepanel"));
        QCOMPARE(values.value(QStringLiteral("Version")), QStringLiteral(NODEPANEL_VERSION));
        QVERIFY(!values.value(QStringLiteral("Section")).isEmpty());
        QVERIFY(values.value(QStringLiteral("Maintainer")).endsWith(QLatin1String(".invalid>")));

        const QStringList depends = dependedOn(values.value(QStringLiteral("Depends")));
        // The Qt runtime with the plugins the panel loads (TLS backend and xcb platform come with it, the SVG
        // icon engine does not), what the node commands run through, and libc6: only dpkg-shlibdeps adds
        // that one.
        for (const char* needed : {"libqt6core6", "libqt6gui6", "libqt6network6", "libqt6widgets6",
                                   "libqt6svg6", "pkexec", "sudo", "libc6"})
            QVERIFY2(depends.contains(QLatin1String(needed)),
                     qPrintable(QLatin1String(needed) + " missing from " +
                                values.value(QStringLiteral("Depends"))));

        // The plugins come from packages it depends on, as this machine's Qt is packaged.
        const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
        for (const char* plugin :
             {"tls/libqopensslbackend.so", "platforms/libqxcb.so", "iconengines/libqsvgicon.so"}) {
            const Run owner =
                run(QStringLiteral("dpkg"), {QStringLiteral("-S"), plugins + '/' + QLatin1String(plugin)});
            QVERIFY2(owner.exitCode == 0, owner.output.constData());
            const QString name = QString::fromUtf8(owner.output).section(u':', 0, 0);
            QVERIFY2(depends.contains(name), qPrintable(QLatin1String(plugin) + " comes from " + name));
        }
    }

    // Root's files, writable by root only, and exactly the bundle and the desktop files.
    void contentsAreRootsOnly() {
        const Run listing = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), package});
        QCOMPARE(listing.exitCode, 0);
        QList<Entry> entries;
        static const QRegularExpression line(
            QStringLiteral(R"(^(\S{10})\s+(\S+)\s+\d+\s+\S+\s+\S+\s+(.+?)(?: -> (.+))?$)"));
        for (const QString& text : QString::fromUtf8(listing.output).split(u'\n', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch match = line.match(text);
            QVERIFY2(match.hasMatch(), qPrintable(text));
            entries.append({match.captured(1), match.captured(2), match.captured(3), match.captured(4)});
        }

        QStringList files;
        QStringList folders;
        QStringList holders; // the folders the files need
        for (const Entry& entry : entries) {
            QCOMPARE(entry.owner, QStringLiteral("root/root"));
            if (entry.mode.startsWith(u'd')) {
                QVERIFY2(entry.mode[5] != u'w' && entry.mode[8] != u'w',
                         qPrintable(entry.mode + ' ' + entry.path));
                folders.append(entry.path);
                continue;
            }
            if (entry.mode.startsWith(u'l')) {
                files.append(entry.path + " -> " + entry.linkTarget);
            } else {
                QVERIFY2(entry.mode[5] != u'w' && entry.mode[8] != u'w',
                         qPrintable(entry.mode + ' ' + entry.path));
                files.append(entry.mode.mid(1, 3) + ' ' + entry.path);
            }
            for (QString folder = QFileInfo(entry.path).path(); folder != QLatin1String(".");
                 folder = QFileInfo(folder).path())
                if (!holders.contains(folder + '/'))
                    holders.append(folder + '/');
        }
        files.sort();
        QStringList expected{
            "rwx " + prefix + "/Contents/bin/nodepanel",
            prefix + "/Contents/Resources/bash -> /bin/bash",
            "rwx " + prefix + "/Contents/Resources/manager.sh",
            "rwx " + prefix + "/Contents/Resources/sample-node",
            "rw- " + desktop + "/share/applications/" + appId + ".desktop",
            "rw- " + desktop + "/share/icons/hicolor/scalable/apps/" + appId + ".svg",
            "rw- " + desktop + "/share/metainfo/" + appId + ".metainfo.xml",
        };
        expected.sort();
        QCOMPARE(files, expected);
        // No folder besides those that hold the files.
        folders.removeAll(QStringLiteral("./"));
        folders.sort();
        holders.sort();
        QCOMPARE(folders, holders);
    }

    // Unpacked, it is a desktop application AppStream accepts: metadata, and the menu entry it names,
    // which starts the packaged panel.
    void unpacksToADesktopApplication() {
        const QString tree = scratch.filePath(QStringLiteral("tree"));
        const Run extract = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), package, tree});
        QVERIFY2(extract.exitCode == 0, extract.output.constData());

        const Run validate =
            run(QStringLiteral("appstreamcli"), {QStringLiteral("validate-tree"), QStringLiteral("--no-net"),
                                                 QStringLiteral("--strict"), tree});
        QVERIFY2(validate.exitCode == 0, validate.output.constData());

        QFile entry(tree + '/' + desktop + "/share/applications/" + appId + ".desktop");
        QVERIFY(entry.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromUtf8(entry.readAll()).split(u'\n');
        const QString exec = QStringLiteral("Exec=" NODEPANEL_INSTALL_PREFIX "/Contents/bin/nodepanel");
        QVERIFY2(lines.contains(exec), qPrintable(lines.join(u'\n')));
        QVERIFY(QFileInfo(tree + exec.mid(5)).isExecutable());
    }
};

QTEST_GUILESS_MAIN(TestDebPackage)
#include "tst_debpackage.moc"
