#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What the node-file check needs to know of one name, as lstat and readlink report it.
struct FileFacts {
    enum class Type { Missing, Folder, File, Link, Other };
    Type type = Type::Missing;
    uint owner = 0;
    uint group = 0;
    // The permission bits, the sticky bit included.
    uint mode = 0;
    // Where a link points.
    QString linkTarget;
    // Why a missing name could not be looked at (an errno value).
    int error = 0;
    // The users and groups besides its owner and group that its access control list lets write it.
    QList<uint> aclUsers, aclGroups;
    // For a folder: the names in it.
    QStringList entries;
    // Why its access control list could not be read (an errno value); 0 when it was, or there is none.
    int aclError = 0;
};

// Why the node-file check refuses a run: the file or folder, and the reason, an English text with %1, %2
// for its numbers and words (a source text of the "FileRefusal" translation context), so that the log
// keeps it in English and the screen says it in the user's language.
struct FileRefusal {
    QString path;
    const char* reason = "";
    QStringList arguments;
    // Whether the reason is that someone besides root could change what runs as root.
    bool changeable = false;
};

// Looks a path up on the real file system, without following a link at its end.
FileFacts lookUpFile(const QString& path);

// The program that pkexec runs as root in the panel's place, when the bundle has one (an installed bundle
// does): <bundle>/Contents/libexec/nodepanel-manager, which runs manager.sh up or down.
QString nodeHelperPath(const QString& bundle);

// The check before anything runs as root on the user's behalf: only root and trustedOwner may be able to
// change the Resources folder, anything in it (manager.sh, bash, the node's own programs and data), the
// helper when there is one, or any folder or link on the way to them, by mode bits or by access control
// list. Otherwise any program of the user's could plant code that runs as root the next time Start is
// pressed. Returns why not, naming what failed; nothing when the files are safe.
std::optional<FileRefusal>
untrustedNodeFiles(const QString& bundle, uint trustedOwner,
                   const std::function<FileFacts(const QString&)>& lookUp = lookUpFile);

// A refusal in words: in English for the log, or in the user's language for the screen.
QString refusalText(const FileRefusal& refusal, bool translated = false);
