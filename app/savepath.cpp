#include "app/savepath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

#include <cerrno>
#include <sys/stat.h>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("SavePath", text);
}

// "csv" of "CSV files (*.csv)"; empty for a filter without one.
QString suffixOf(const QString& filter)
{
    static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.([^ )]+)"));
    const QRegularExpressionMatch match = pattern.match(filter);
    return match.hasMatch() ? match.captured(1) : QString();
}

// Anything at the path, a link that leads nowhere included.
bool isTaken(const QString& path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 || errno != ENOENT;
}

} // namespace

SSavePath completeSavePath(const QString& chosen, const QStringList& filters, int filter)
{
    SSavePath result;
    result.filter = filter;
    const qsizetype slash = chosen.lastIndexOf(QLatin1Char('/'));
    QString name = chosen.mid(slash + 1);
    // "a7." has no suffix, and must not become "a7..csv".
    while (name.size() > 1 && name.endsWith(QLatin1Char('.')) && name != QLatin1String(".."))
        name.chop(1);
    QString path = chosen.left(slash + 1) + name;
    const QString suffix = QFileInfo(name).suffix();
    if (suffix.isEmpty()) {
        const QString added = suffixOf(filters.value(filter));
        if (!added.isEmpty())
            path += QLatin1Char('.') + added;
    } else {
        for (int i = 0; i < filters.size(); ++i) {
            if (suffixOf(filters.at(i)).compare(suffix, Qt::CaseInsensitive) == 0) {
                result.filter = i;
                break;
            }
        }
    }
    result.path = path;
    return result;
}

std::optional<SSavePath> askSavePath(QWidget* parent, const QString& title,
                                     const QString& proposedPath, const QStringList& filters,
                                     int initialFilter)
{
    QString proposed = proposedPath;
    QString selected = filters.value(initialFilter);
    for (;;) {
        // The question below is asked of the completed name; the dialog's
        // own would be asked of the typed one.
        const QString chosen = QFileDialog::getSaveFileName(
            parent, title, proposed, filters.join(QStringLiteral(";;")), &selected,
            QFileDialog::DontConfirmOverwrite);
        if (chosen.isEmpty())
            return std::nullopt;
        const SSavePath path =
            completeSavePath(chosen, filters, std::max<int>(0, filters.indexOf(selected)));
        if (!isTaken(path.path))
            return path;
        if (QFileInfo(path.path).isDir()) {
            // A folder is never replaced by a file: ask for another name.
            QMessageBox box(QMessageBox::Warning, title,
                            tr("\"%1\" is a folder.\nChoose another name.")
                                .arg(QDir::toNativeSeparators(path.path)),
                            QMessageBox::Ok, parent);
            box.setTextFormat(Qt::PlainText);
            box.exec();
            proposed = path.path;
            selected = filters.value(path.filter);
            continue;
        }
        QMessageBox box(QMessageBox::Question, title,
                        tr("\"%1\" already exists.\nDo you want to replace it?")
                            .arg(QDir::toNativeSeparators(path.path)),
                        QMessageBox::Yes | QMessageBox::No, parent);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        if (box.exec() == QMessageBox::Yes)
            return path;
        proposed = path.path;
        selected = filters.value(path.filter);
    }
}
