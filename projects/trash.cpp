// The desktop trash of the freedesktop.org convention, done by hand: Qt 6.4's
// QFile::moveToTrash retries for ever when the information file cannot be
// created (a plain file or a folder it cannot write where "info" should be),
// and reports success where it moved the file into the working directory.

#include "projects/trash.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QString>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names tried in "files" before giving up: "name", then "name-0001" and on.
constexpr int MAX_NAME_ATTEMPTS = 1000;

QString tr(const char* text)
{
    return QCoreApplication::translate("Trash", text);
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

bool failErrno(QString* error, int code)
{
    return fail(error, qt_error_string(code));
}

QString display(const QByteArray& path)
{
    return QDir::toNativeSeparators(QFile::decodeName(path));
}

// A private folder made unless it exists; true when path is a folder on the
// given file system, so that a rename into it cannot fail for that reason.
bool ensureFolder(const QByteArray& path, dev_t device, QString* error)
{
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return fail(error, QStringLiteral("%1: %2").arg(display(path), qt_error_string(errno)));
    struct stat status {};
    if (::stat(path.constData(), &status) != 0)
        return fail(error, QStringLiteral("%1: %2").arg(display(path), qt_error_string(errno)));
    if (!S_ISDIR(status.st_mode))
        return fail(error,
                    tr("The trash cannot use \"%1\": it is not a folder.").arg(display(path)));
    if (status.st_dev != device)
        return fail(error, tr("The trash is on another file system than the file."));
    return true;
}

// As the trash's information files record paths: URL escapes for every
// byte but the unreserved ones and the slash.
QByteArray percentEncoded(const QByteArray& path)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    QByteArray encoded;
    encoded.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~' || byte == '/') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += DIGITS[byte >> 4];
            encoded += DIGITS[byte & 0x0F];
        }
    }
    return encoded;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    for (qsizetype written = 0; written < bytes.size();) {
        const ssize_t count =
            ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        written += count;
    }
    return true;
}

// Moves without replacing anything at the target. File systems without
// that flag get a plain rename, after the caller saw the target free.
int renameNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

QByteArray parentOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

// The folder that holds the file, with links resolved, or empty.
QByteArray realFolderOf(const QByteArray& path)
{
    char resolved[PATH_MAX];
    return ::realpath(parentOf(path).constData(), resolved) ? QByteArray(resolved) : QByteArray();
}

// The top folder of the file system that holds folder: the highest folder
// above it on the same device.
QByteArray topOf(const QByteArray& folder, dev_t device)
{
    QByteArray top = folder;
    while (top != "/") {
        const QByteArray up = parentOf(top);
        struct stat status {};
        if (::stat(up.constData(), &status) != 0 || status.st_dev != device)
            break;
        top = up;
    }
    return top;
}

// The file system of path or, where it is missing, of its nearest parent.
dev_t deviceOfNearest(QByteArray path)
{
    struct stat status {};
    while (::stat(path.constData(), &status) != 0 && path != "/")
        path = parentOf(path);
    return status.st_dev;
}

// "$top/.Trash/$uid" where an administrator made "$top/.Trash" a sticky
// folder (not a link), else "$top/.Trash-$uid", which must be a folder of
// this user's own. Empty when neither can be had.
QByteArray topTrash(const QByteArray& top, dev_t device)
{
    const QByteArray base = top == "/" ? QByteArray() : top;
    const QByteArray uid = QByteArray::number(::getuid());
    struct stat status {};
    const QByteArray shared = base + "/.Trash";
    if (::lstat(shared.constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
        (status.st_mode & S_ISVTX) && status.st_dev == device) {
        const QByteArray own = shared + '/' + uid;
        ::mkdir(own.constData(), 0700);
        if (::lstat(own.constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
            status.st_uid == ::getuid())
            return own;
    }
    const QByteArray own = base + "/.Trash-" + uid;
    ::mkdir(own.constData(), 0700);
    if (::lstat(own.constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
        status.st_uid == ::getuid() && status.st_dev == device)
        return own;
    return {};
}

} // namespace

bool moveIntoTrashFolder(const QByteArray& nativePath, const QByteArray& trashFolder,
                         const QByteArray& originalPath, QString* error)
{
    struct stat source {};
    if (::lstat(nativePath.constData(), &source) != 0)
        return failErrno(error, errno);
    const QByteArray files = trashFolder + "/files";
    const QByteArray info = trashFolder + "/info";
    if (!ensureFolder(files, source.st_dev, error) || !ensureFolder(info, source.st_dev, error))
        return false;

    const QByteArray name = nativePath.mid(nativePath.lastIndexOf('/') + 1);
    const QByteArray record =
        "[Trash Info]\nPath=" + percentEncoded(originalPath) + "\nDeletionDate=" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1() +
        "\n";
    for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
        const QByteArray unique =
            attempt == 0 ? name : name + '-' + QByteArray::number(attempt).rightJustified(4, '0');
        const QByteArray target = files + '/' + unique;
        struct stat taken {};
        if (::lstat(target.constData(), &taken) == 0)
            continue;
        // The information file first, made exclusively: it claims the name.
        const QByteArray infoFile = info + '/' + unique + ".trashinfo";
        const int fd = ::open(infoFile.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return fail(error,
                        QStringLiteral("%1: %2").arg(display(infoFile), qt_error_string(errno)));
        }
        const bool written = writeAll(fd, record);
        const int writeError = errno;
        if (::close(fd) != 0 || !written) {
            ::unlink(infoFile.constData());
            return fail(error, QStringLiteral("%1: %2").arg(display(infoFile),
                                                            qt_error_string(writeError)));
        }
        const int moveError = renameNoReplace(nativePath, target);
        if (moveError == 0)
            return true;
        ::unlink(infoFile.constData());
        if (moveError != EEXIST)
            return failErrno(error, moveError);
    }
    return fail(error, tr("The trash already holds too many files of this name."));
}

bool moveToTrash(const QByteArray& nativePath, QString* error)
{
    const QByteArray path = nativePath.startsWith('/')
                                ? nativePath
                                : QFile::encodeName(QDir::currentPath()) + '/' + nativePath;
    struct stat source {};
    if (::lstat(path.constData(), &source) != 0)
        return failErrno(error, errno);

    // A file on the home's file system goes to the home trash, made as a
    // private folder where it is missing, or nowhere: never to the trash of
    // the file system's top folder instead.
    QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty())
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    QDir().mkpath(dataHome);
    const QByteArray home = QFile::encodeName(dataHome);
    if (deviceOfNearest(home) == source.st_dev) {
        const QByteArray trash = home + "/Trash";
        return ensureFolder(trash, source.st_dev, error) &&
               moveIntoTrashFolder(path, trash, path, error);
    }

    // A file on another file system goes to that one's own trash, which
    // records the path below its top folder.
    const QByteArray folder = realFolderOf(path);
    if (!folder.isEmpty()) {
        const QByteArray top = topOf(folder, source.st_dev);
        const QByteArray trash = topTrash(top, source.st_dev);
        if (!trash.isEmpty()) {
            const QByteArray real = folder + '/' + path.mid(path.lastIndexOf('/') + 1);
            const QByteArray relative = top == "/" ? real.mid(1) : real.mid(top.size() + 1);
            return moveIntoTrashFolder(path, trash, relative, error);
        }
    }
    return fail(error, tr("There is no trash that can take files from this file system."));
}
