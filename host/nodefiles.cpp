#include "host/nodefiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <QtEndian>

#include <cerrno>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// The deepest chain of symbolic links we follow, as the kernel does.
constexpr int maxLinks = 40;
// The most names under the Resources folder that are checked; a node needs far fewer.
constexpr int maxEntries = 10000;

using Type = FileFacts::Type;

// A reason of a refusal: an English text of the "FileRefusal" translation context, and its arguments.
struct Reason {
    const char* text;
    QStringList arguments;
};

class NodeFileCheck {
public:
    NodeFileCheck(uint trustedOwner, const std::function<FileFacts(const QString&)>& lookUp)
        : trustedOwner_(trustedOwner)
        , lookUp_(lookUp) {}

    // Follows path from "/" the way the kernel does: each folder a name is looked up in, each symbolic link
    // on the way and the folder or file it ends at must be safe.
    std::optional<FileRefusal> check(const QString& path, Type kind) const {
        QStringList pending = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QString current = QStringLiteral("/");
        FileFacts facts = lookUp_(current);
        if (facts.type == Type::Missing)
            return unreadable(current, facts.error);
        if (auto why = changeableBy(facts, true))
            return refusal(current, *why, true);

        int links = 0;
        while (!pending.isEmpty()) {
            const QString name = pending.takeFirst();
            if (name == QLatin1String("."))
                continue;
            if (name == QLatin1String("..")) {
                // current holds no links, so its parent is found by name.
                current = QDir::cleanPath(current + QStringLiteral("/.."));
                continue;
            }
            const QString next =
                current == QLatin1String("/") ? current + name : current + QLatin1Char('/') + name;
            facts = lookUp_(next);
            if (facts.type == Type::Missing)
                return unreadable(next, facts.error);

            if (facts.type == Type::Link) {
                if (++links > maxLinks)
                    return refusal(
                        next, {QT_TRANSLATE_NOOP("FileRefusal", "goes through too many symbolic links"), {}});
                // In a folder with the sticky bit the owner of a link can still replace it.
                if (!trusted(facts.owner))
                    return refusal(next, notOwnedBy(facts.owner), true);
                if (facts.linkTarget.startsWith(QLatin1Char('/')))
                    current = QStringLiteral("/");
                pending = facts.linkTarget.split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
                continue;
            }

            const bool last = pending.isEmpty();
            if ((!last || kind == Type::Folder) && facts.type != Type::Folder)
                return refusal(next, {QT_TRANSLATE_NOOP("FileRefusal", "is not a folder"), {}});
            // A kind of Other asks for a file or a folder, whichever it is.
            const bool otherFolder = kind == Type::Other && facts.type == Type::Folder;
            if (last && kind != Type::Folder && facts.type != Type::File && !otherFolder)
                return refusal(next, {QT_TRANSLATE_NOOP("FileRefusal", "is not a regular file"), {}});
            // The folder the script runs in may not take new names from anyone else; the ones it is found
            // through may, when their sticky bit keeps others from replacing the names we follow.
            if (auto why = changeableBy(facts, !last))
                return refusal(next, *why, true);
            current = next;
        }
        return std::nullopt;
    }

    // Everything below the Resources folder, link chains included; folders reached through a link are
    // checked themselves but not walked, so a link can never lead the walk round in circles.
    std::optional<FileRefusal> checkTree(const QString& folder, int& budget) const {
        for (const QString& name : lookUp_(folder).entries) {
            const QString path = folder + QLatin1Char('/') + name;
            if (--budget < 0)
                return refusal(folder,
                               {QT_TRANSLATE_NOOP("FileRefusal", "holds too many files to check"), {}});
            if (auto why = check(path, Type::Other))
                return why;
            if (lookUp_(path).type == Type::Folder)
                if (auto why = checkTree(path, budget))
                    return why;
        }
        return std::nullopt;
    }

private:
    // Root could change anything anyway. The trusted owner is root too, except in tests, which run as
    // whoever runs them.
    bool trusted(uint owner) const { return owner == 0 || owner == trustedOwner_; }

    Reason notOwnedBy(uint owner) const {
        if (trustedOwner_ == 0)
            return {QT_TRANSLATE_NOOP("FileRefusal", "belongs to uid %1, not to root"),
                    {QString::number(owner)}};
        return {QT_TRANSLATE_NOOP("FileRefusal", "belongs to uid %1, not to root or uid %2"),
                {QString::number(owner), QString::number(trustedOwner_)}};
    }

    // Why someone besides root and the trusted owner could change the folder or file, if they could.
    //
    // A folder others can write to but that has the sticky bit (such as /tmp) is accepted above the
    // Resources folder: there nobody can rename or remove a name they do not own, and every name we go on
    // through must belong to root or the trusted owner. A folder without it lets its writers swap any name
    // in it for their own.
    std::optional<Reason> changeableBy(const FileFacts& facts, bool stickyWillDo) const {
        if (!trusted(facts.owner))
            return notOwnedBy(facts.owner);
        // Who may write it is unknown, so nobody is trusted to be unable to.
        if (facts.aclError != 0)
            return Reason{
                QT_TRANSLATE_NOOP("FileRefusal", "has an access control list that cannot be read (%1)"),
                {qt_error_string(facts.aclError)}};
        std::optional<Reason> why;
        if (facts.mode & S_IWOTH)
            why = {QT_TRANSLATE_NOOP("FileRefusal", "is writable by all users"), {}};
        else if ((facts.mode & S_IWGRP) && facts.group != 0)
            why = {QT_TRANSLATE_NOOP("FileRefusal", "is writable by its group (gid %1)"),
                   {QString::number(facts.group)}};
        for (const uint user : facts.aclUsers)
            if (!why && !trusted(user))
                why = {
                    QT_TRANSLATE_NOOP("FileRefusal", "is writable by uid %1 through its access control list"),
                    {QString::number(user)}};
        for (const uint group : facts.aclGroups)
            if (!why && group != 0)
                why = {
                    QT_TRANSLATE_NOOP("FileRefusal", "is writable by gid %1 through its access control list"),
                    {QString::number(group)}};
        if (why && stickyWillDo && facts.type == Type::Folder && (facts.mode & S_ISVTX))
            return std::nullopt;
        return why;
    }

    static FileRefusal refusal(const QString& path, const Reason& why, bool changeable = false) {
        return {path, why.text, why.arguments, changeable};
    }

    static FileRefusal unreadable(const QString& path, int error) {
        return refusal(
            path, {QT_TRANSLATE_NOOP("FileRefusal", "cannot be checked (%1)"), {qt_error_string(error)}});
    }

    uint trustedOwner_;
    const std::function<FileFacts(const QString&)>& lookUp_;
};

// The entries of the access control list that let others write: the kernel's binary form of it, a
// version word and then (tag, permissions, id) entries, named users and groups limited by the mask. The
// list is read whole, whatever its size; an error other than "there is none" is kept, and refuses the file.
void readAccessControlList(const QByteArray& path, FileFacts& facts) {
    enum : quint16 { user = 0x02, group = 0x08, mask = 0x10, write = 0x02 };
    static const char* const name = "system.posix_acl_access";
    // A file without one, and a file system without them, have none.
    const auto none = [](int error) { return error == ENODATA || error == ENOTSUP; };
    // A plain vector: GCC's bounds analysis reads a QByteArray's shared empty buffer into the parsing below.
    std::vector<char> acl;
    for (;;) {
        const ssize_t needed = ::lgetxattr(path.constData(), name, nullptr, 0);
        if (needed < 0) {
            facts.aclError = none(errno) ? 0 : errno;
            return;
        }
        acl.resize(size_t(needed));
        const ssize_t size = ::lgetxattr(path.constData(), name, acl.data(), acl.size());
        if (size >= 0) {
            acl.resize(size_t(size));
            break;
        }
        // ERANGE: it grew since it was measured, so it is measured again.
        if (errno != ERANGE) {
            facts.aclError = none(errno) ? 0 : errno;
            return;
        }
    }
    if (acl.size() < 4 || (acl.size() - 4) % 8 != 0) {
        facts.aclError = EBADMSG;
        return;
    }
    quint16 allowed = write;
    QList<std::pair<quint16, uint>> writers;
    for (size_t at = 4; at + 8 <= acl.size(); at += 8) {
        const quint16 tag = qFromLittleEndian<quint16>(acl.data() + at);
        const quint16 permissions = qFromLittleEndian<quint16>(acl.data() + at + 2);
        if (tag == mask)
            allowed = permissions & write;
        else if ((tag == user || tag == group) && (permissions & write))
            writers.append({tag, qFromLittleEndian<quint32>(acl.data() + at + 4)});
    }
    for (const auto& [tag, id] : writers)
        if (allowed)
            (tag == user ? facts.aclUsers : facts.aclGroups).append(id);
}

} // namespace

FileFacts lookUpFile(const QString& path) {
    FileFacts facts;
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(name.constData(), &info) != 0) {
        facts.error = errno;
        return facts;
    }
    if (S_ISLNK(info.st_mode)) {
        QByteArray target(4096, '\0');
        const ssize_t length = ::readlink(name.constData(), target.data(), size_t(target.size()));
        if (length < 0 || length >= target.size()) {
            facts.error = length < 0 ? errno : ENAMETOOLONG;
            return facts;
        }
        target.truncate(length);
        facts.linkTarget = QFile::decodeName(target);
    }
    facts.type = S_ISLNK(info.st_mode)   ? Type::Link
                 : S_ISDIR(info.st_mode) ? Type::Folder
                 : S_ISREG(info.st_mode) ? Type::File
                                         : Type::Other;
    facts.owner = info.st_uid;
    facts.group = info.st_gid;
    facts.mode = info.st_mode & 07777;
    if (facts.type == Type::Folder)
        facts.entries =
            QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    readAccessControlList(name, facts);
    return facts;
}

QString nodeHelperPath(const QString& bundle) {
    return bundle + QStringLiteral("/Contents/libexec/nodepanel-manager");
}

QString refusalText(const FileRefusal& refusal, bool translated) {
    const auto say = [translated](const char* context, const char* text) {
        return translated ? QCoreApplication::translate(context, text) : QString::fromUtf8(text);
    };
    // Every argument in one pass: a word of the system's never stands for a later one.
    QString why = say("FileRefusal", refusal.reason);
    const QStringList& a = refusal.arguments;
    why = a.size() > 1 ? why.arg(a[0], a[1]) : a.size() == 1 ? why.arg(a[0]) : why;
    if (refusal.changeable)
        why = say("FileRefusal",
                  QT_TRANSLATE_NOOP("FileRefusal", "%1, so a program without administrator rights "
                                                   "could change what runs as root"))
                  .arg(why);
    return say("ScriptFailure",
               QT_TRANSLATE_NOOP("ScriptFailure",
                                 "Refused to run the node's script as administrator: %1 %2."))
        .arg(refusal.path, why);
}

std::optional<FileRefusal> untrustedNodeFiles(const QString& bundle, uint trustedOwner,
                                              const std::function<FileFacts(const QString&)>& lookUp) {
    // The Resources folder first, with the strict rule for the folder the script runs in.
    const NodeFileCheck check(trustedOwner, lookUp);
    const QString resources = bundle + QStringLiteral("/Contents/Resources");
    if (auto why = check.check(resources, Type::Folder))
        return why;
    for (const char* name : {"/manager.sh", "/bash"})
        if (auto why = check.check(resources + QLatin1String(name), Type::File))
            return why;
    // Root runs the helper too, when there is one.
    const QString helper = nodeHelperPath(bundle);
    const FileFacts facts = lookUp(helper);
    if (facts.type != Type::Missing || facts.error != ENOENT)
        if (auto why = check.check(helper, Type::File))
            return why;
    int budget = maxEntries;
    return check.checkTree(resources, budget);
}
