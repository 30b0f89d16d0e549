#include "host/hostconfig.h"

#include "platform/systemlog.h"

#include <QFile>
#include <QMutex>
#include <QSet>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {

// Where the settings are read from when the file cannot be used: a path under a device, which nothing can
// open, create or write, so reads find nothing and writes fail at once.
const QString nowhere = QStringLiteral("/dev/null/nodepanel.conf");

// A name that is there but no regular file (a FIFO, a device, a socket, a folder, a link to one): opening a
// FIFO waits for a writer for good, and reading a device may never end. Missing is fine: it is made.
bool unusable(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISREG(info.st_mode);
}

} // namespace

std::unique_ptr<QSettings> HostConfig::openSettings() const {
    // The user's own settings are read from the application's file and the organisation's, as QSettings
    // finds them.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QStringList files = settingsPath.isEmpty()
                                  ? QStringList{folder + QStringLiteral("/nodepanel/nodepanel.conf"),
                                                folder + QStringLiteral("/nodepanel.conf")}
                                  : QStringList{settingsPath};
    for (const QString& file : files) {
        if (!unusable(file))
            continue;
        // Said once for each file, however often the settings are opened; never destroyed, as a job may
        // open the settings while the process ends.
        static QBasicMutex mutex;
        static auto* const told = new QSet<QString>;
        const QMutexLocker lock(&mutex);
        if (!told->contains(file)) {
            told->insert(file);
            systemLog(QStringLiteral("The settings cannot be read or saved: ") + file +
                      QStringLiteral(" is not a regular file. The panel runs with its defaults."));
        }
        return std::make_unique<QSettings>(nowhere, QSettings::IniFormat);
    }
    if (settingsPath.isEmpty())
        return std::make_unique<QSettings>(QStringLiteral("nodepanel"), QStringLiteral("nodepanel"));
    return std::make_unique<QSettings>(settingsPath, QSettings::IniFormat);
}
