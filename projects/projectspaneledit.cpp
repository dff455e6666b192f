// The projects panel's editing actions: devices and commands created,
// changed, moved and deleted. Every edit works on the file as it is on disk
// when the user has answered its dialog, checks that the file still holds
// what the user acted on, saves it and reloads the folder.

#include "projects/projectspanel.h"

#include "projects/projectdevicedialog.h"
#include "projects/trash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QSet>
#include <QTreeView>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString suggestedLabel(const SI2cCommand& command)
{
    if (command.type == EI2cCommandType::Read)
        return CProjectsPanel::tr("Read %n byte(s)", nullptr, command.count);
    if (command.data.empty())
        return CProjectsPanel::tr("Write address only");
    return CProjectsPanel::tr("Write %1").arg(CI2cDeviceFile::BytesToHex(command.data));
}

// Message boxes show names, labels and error texts from the files as text.
int showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

bool askYesNo(QWidget* parent, const QString& title, const QString& text,
              QMessageBox::StandardButton defaultButton = QMessageBox::NoButton)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return box.exec() == QMessageBox::Yes;
}

// What an outside change did to the file or command that an action was
// meant for.
// Why no file can be removed from the folder that holds path, or nothing
// when it can: a read-only folder or file system.
std::optional<QString> removalBlocked(const QString& path)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::access(folder.constData(), W_OK | X_OK) == 0)
        return std::nullopt;
    return qt_error_string(errno);
}

QString removedText(const QString& path)
{
    return CProjectsPanel::tr("\"%1\" is no longer in the projects folder.")
        .arg(QFileInfo(path).fileName());
}

QString unreadableText(const QString& path, const QString& error)
{
    return CProjectsPanel::tr("\"%1\" was changed on disk and can no longer be read:\n%2")
        .arg(QFileInfo(path).fileName(), error);
}

QString commandChangedText(const QString& label, const QString& deviceName)
{
    return CProjectsPanel::tr("The command \"%1\" of \"%2\" was changed on disk.")
        .arg(label, deviceName);
}

QString deviceChangedText(const QString& path, const QString& name, const QString& expected)
{
    return CProjectsPanel::tr("\"%1\" now holds the device \"%2\" instead of \"%3\".")
        .arg(QFileInfo(path).fileName(), name, expected);
}

QString fileChangedText(const QString& path)
{
    return CProjectsPanel::tr("\"%1\" was changed on disk.").arg(QFileInfo(path).fileName());
}

QString folderChangedText(const QString& folder)
{
    return CProjectsPanel::tr("The projects folder was moved, replaced or re-pointed since it "
                              "was read:\n%1\nThe list shows it as it is now.")
        .arg(QDir::toNativeSeparators(folder));
}

// Whether anything, a link that leads nowhere included, is at path.
bool isTaken(const QByteArray& nativePath)
{
    struct stat status {};
    return ::lstat(nativePath.constData(), &status) == 0 || errno != ENOENT;
}

bool isTaken(const QString& path)
{
    return isTaken(QFile::encodeName(path));
}

} // namespace

CProjectsPanel::STarget CProjectsPanel::targetOf(int deviceIndex, int commandIndex) const
{
    const CI2cDeviceFile& device = m_devices.at(deviceIndex);
    STarget target{device.GetFilePath(), device.GetName(), commandIndex, {}};
    if (commandIndex >= 0)
        target.command = device.GetCommands().at(commandIndex);
    return target;
}

QString CProjectsPanel::changeOf(const STarget& target, const CI2cDeviceFile& device) const
{
    if (target.commandIndex < 0) {
        if (device.GetName() != target.name)
            return deviceChangedText(target.path, device.GetName(), target.name);
        return {};
    }
    const QList<SI2cCommand>& commands = device.GetCommands();
    if (target.commandIndex >= commands.size() ||
        commands.at(target.commandIndex) != target.command)
        return commandChangedText(target.command.label, device.GetName());
    return {};
}

void CProjectsPanel::warnChanged(const QString& title, const QString& change,
                                 const QString& outcome)
{
    showMessage(m_parentWidget, QMessageBox::Warning, title,
                outcome.isEmpty() ? change : change + QStringLiteral("\n\n") + outcome);
}

int CProjectsPanel::findDevice(const STarget& target)
{
    if (folderReplaced()) {
        reload();
        warnChanged(tr("Projects"), folderChangedText(m_folder), {});
        return -1;
    }
    for (int i = 0; i < m_devices.size(); ++i) {
        if (m_devices.at(i).GetFilePath() != target.path)
            continue;
        const QString change = changeOf(target, m_devices.at(i));
        if (change.isEmpty())
            return i;
        reload();
        warnChanged(tr("Projects"), change, {});
        return -1;
    }
    const auto error = std::find_if(m_errors.cbegin(), m_errors.cend(),
                                    [&](const SFileError& e) { return e.path == target.path; });
    warnChanged(tr("Projects"),
                error != m_errors.cend() ? unreadableText(target.path, error->message)
                                         : removedText(target.path),
                {});
    return -1;
}

std::optional<CI2cDeviceFile>
CProjectsPanel::deviceOnDisk(const STarget& target, const QString& title, const QString& outcome)
{
    QString change;
    if (folderReplaced()) {
        reload();
        change = folderChangedText(m_folder);
    } else {
        // The list's copy serves while the file is the one it was read from;
        // a large file is then not read again.
        const std::optional<SFileStamp> stamp = SFileStamp::Of(target.path);
        const auto listed =
            std::find_if(m_devices.cbegin(), m_devices.cend(), [&](const CI2cDeviceFile& device) {
                return stamp && device.GetFilePath() == target.path &&
                       device.GetFileStamp() == stamp;
            });
        CI2cDeviceFile device;
        if (listed != m_devices.cend())
            device = *listed;
        if (listed == m_devices.cend() && !device.Load(target.path)) {
            change = isTaken(target.path) ? unreadableText(target.path, device.GetLastError())
                                          : removedText(target.path);
        } else {
            change = changeOf(target, device);
        }
        if (change.isEmpty())
            return device;
        reload();
    }
    warnChanged(title, change, outcome);
    return std::nullopt;
}

void CProjectsPanel::onNewDevice()
{
    createDevice();
}

int CProjectsPanel::createDevice()
{
    // Names are checked against the folder the path leads to now.
    if (folderReplaced())
        reload();
    CI2cDeviceFile file;
    if (!editDevice(file, true))
        return -1;
    const QString path = uniqueFilePath(file.GetName());
    if (!file.SaveAs(path)) {
        showMessage(m_parentWidget, QMessageBox::Critical, tr("New Device"),
                    tr("Could not create the file:\n%1\n\n%2")
                        .arg(QDir::toNativeSeparators(path), file.GetLastError()));
        return -1;
    }
    m_expanded.insert(path);
    saveExpanded();
    reload();
    selectItem(path, -1);
    for (int i = 0; i < m_devices.size(); ++i) {
        if (m_devices.at(i).GetFilePath() == path)
            return i;
    }
    return -1;
}

bool CProjectsPanel::editDevice(CI2cDeviceFile& file, bool isNew)
{
    const QString exceptPath = file.GetFilePath();
    // Keeping the name never clashes: two files may have been given the
    // same name outside, and the other fields must stay editable.
    const QString ownName = isNew ? QString() : file.GetName().trimmed();
    ProjectDeviceDialog dialog(
        isNew ? tr("New Device") : tr("Device Properties"), m_parseAddress,
        [this, exceptPath, ownName](const QString& name) {
            return (ownName.isEmpty() || name.trimmed() != ownName) &&
                   isDeviceNameTaken(name, exceptPath);
        },
        m_parentWidget);

    QString addressText;
    if (!isNew) {
        addressText = m_formatAddress(file.GetAddress());
    } else if (const std::optional<uint8_t> current = m_currentAddress()) {
        addressText = m_formatAddress(*current);
    }
    dialog.setValues(file.GetName(), addressText, file.GetDescription());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    file.SetName(dialog.name());
    file.SetAddress(dialog.address());
    // Kept as read unless the user changed it: its line ends too.
    if (isNew || dialog.isDescriptionEdited())
        file.SetDescription(dialog.description());
    return true;
}

bool CProjectsPanel::isDeviceNameTaken(const QString& name, const QString& exceptPath) const
{
    // A device's own file, also when another entry links to it, is not
    // another device.
    const std::optional<SFileStamp> own =
        exceptPath.isEmpty() ? std::nullopt : SFileStamp::Of(exceptPath);
    const QString trimmed = name.trimmed();
    return std::any_of(m_devices.begin(), m_devices.end(), [&](const CI2cDeviceFile& device) {
        if (device.GetFilePath() == exceptPath)
            return false;
        const std::optional<SFileStamp> stamp = device.GetFileStamp();
        if (own && stamp && own->SameFile(*stamp))
            return false;
        return QString::compare(device.GetName().trimmed(), trimmed, Qt::CaseInsensitive) == 0;
    });
}

QString CProjectsPanel::uniqueFilePath(const QString& name) const
{
    static const QRegularExpression invalid(QStringLiteral("[^a-z0-9_-]+"));

    QString base = name.toLower();
    base.replace(invalid, QStringLiteral("_"));
    while (base.startsWith(QLatin1Char('_')))
        base.remove(0, 1);
    while (base.endsWith(QLatin1Char('_')))
        base.chop(1);
    if (base.isEmpty())
        base = QStringLiteral("device");

    // Absolute and clean as the folder listing gives it, so the new file is
    // found again after the reload. A link that leads nowhere takes its
    // name too: the save would follow it out of the folder. And the name a
    // link of the folder leads to is taken: the new file would show twice,
    // through the link and as itself.
    const QDir folder(m_folder);
    QSet<QString> linkTargets;
    for (const QFileInfo& entry : folder.entryInfoList(QDir::AllEntries | QDir::System |
                                                       QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (entry.isSymLink())
            linkTargets.insert(QDir::cleanPath(entry.symLinkTarget()));
    }
    const auto taken = [&linkTargets](const QString& path) {
        return isTaken(path) || linkTargets.contains(QDir::cleanPath(path));
    };
    QString candidate =
        folder.absoluteFilePath(base + QLatin1Char('.') + CI2cDeviceFile::FILE_SUFFIX);
    for (int n = 2; taken(candidate); ++n) {
        candidate = folder.absoluteFilePath(
            QStringLiteral("%1_%2.%3").arg(base).arg(n).arg(CI2cDeviceFile::FILE_SUFFIX));
    }
    return QDir::cleanPath(candidate);
}

bool CProjectsPanel::saveDevice(const CI2cDeviceFile& file, const QString& title)
{
    // The file was read a dialog ago; one that changed since is not
    // overwritten with an edit of what it was.
    const std::optional<SFileStamp> stamp = file.GetFileStamp();
    if (stamp && SFileStamp::Of(file.GetFilePath()) != stamp) {
        reload();
        warnChanged(title, fileChangedText(file.GetFilePath()), tr("Nothing was saved."));
        return false;
    }
    if (file.Save())
        return true;
    showMessage(m_parentWidget, QMessageBox::Critical, tr("Projects"),
                tr("Could not save the file:\n%1\n\n%2")
                    .arg(QDir::toNativeSeparators(file.GetFilePath()), file.GetLastError()));
    return false;
}

std::optional<QString> CProjectsPanel::promptLabel(const QString& title, const QString& label,
                                                   const QString& text, const CI2cDeviceFile& file,
                                                   int exceptIndex)
{
    QString initial = text;
    for (;;) {
        QInputDialog dialog(m_parentWidget);
        dialog.setWindowTitle(title);
        dialog.setInputMode(QInputDialog::TextInput);
        dialog.setTextEchoMode(QLineEdit::Normal);
        dialog.setLabelText(label);
        dialog.setTextValue(initial);
        // The prompt names the device, whose name comes from its file.
        for (QLabel* prompt : dialog.findChildren<QLabel*>())
            prompt->setTextFormat(Qt::PlainText);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        const QString entered = dialog.textValue().trimmed();
        if (entered.isEmpty())
            return std::nullopt;
        if (!file.HasCommandLabel(entered, exceptIndex))
            return entered;
        showMessage(m_parentWidget, QMessageBox::Warning, title,
                    tr("\"%1\" already exists in \"%2\".\nPlease choose a different label.")
                        .arg(entered, file.GetName()));
        initial = entered;
    }
}

void CProjectsPanel::AddCommand(SI2cCommand command)
{
    const QString title = tr("Save Command");
    if (folderReplaced()) {
        reload();
        warnChanged(title, folderChangedText(m_folder), tr("Nothing was saved."));
        return;
    }
    int device = deviceIndexAt(m_widgets.tree->currentIndex());
    if (device < 0) {
        if (!askYesNo(m_parentWidget, title,
                      tr("No device selected in the projects list.\nCreate a new device?")))
            return;
        device = createDevice();
        if (device < 0)
            return;
    }

    const STarget target = targetOf(device, -1);
    const CI2cDeviceFile copy = m_devices.at(device);
    const std::optional<QString> label =
        promptLabel(title, tr("Label for the command in \"%1\":").arg(copy.GetName()),
                    suggestedLabel(command), copy, -1);
    if (!label)
        return;
    std::optional<CI2cDeviceFile> current = deviceOnDisk(target, title, tr("Nothing was saved."));
    if (!current)
        return;
    command.label = *label;
    current->AddCommand(command);
    if (!saveDevice(*current, title))
        return;
    m_expanded.insert(current->GetFilePath());
    saveExpanded();
    reload();
    selectItem(current->GetFilePath(), current->GetCommands().size() - 1);
}

void CProjectsPanel::showDeviceProperties(int deviceIndex)
{
    const QString title = tr("Device Properties");
    const STarget target = targetOf(deviceIndex, -1);
    const CI2cDeviceFile before = m_devices.at(deviceIndex);
    CI2cDeviceFile edited = before;
    if (!editDevice(edited, false))
        return;
    std::optional<CI2cDeviceFile> current = deviceOnDisk(target, title, tr("Nothing was saved."));
    if (!current)
        return;
    // Only what the user changed: another program may have changed the
    // rest while the dialog was open.
    bool changed = false;
    if (edited.GetName() != before.GetName().trimmed()) {
        current->SetName(edited.GetName());
        changed = true;
    }
    if (edited.GetAddress() != before.GetAddress()) {
        current->SetAddress(edited.GetAddress());
        changed = true;
    }
    if (edited.GetDescription() != before.GetDescription()) {
        current->SetDescription(edited.GetDescription());
        changed = true;
    }
    if (changed && !saveDevice(*current, title))
        return;
    reload();
    selectItem(current->GetFilePath(), -1);
}

bool CProjectsPanel::removeFile(const QByteArray& nativePath, const QString& path,
                                const QString& title)
{
    QString reason;
    if (moveToTrash(nativePath, &reason))
        return true;
    // Deleting for good fails for the same reason: offer nothing, say why.
    if (const std::optional<QString> blocked = removalBlocked(path)) {
        showMessage(m_parentWidget, QMessageBox::Critical, title,
                    tr("Could not delete the file:\n%1\n\nThe folder is read-only: %2")
                        .arg(QDir::toNativeSeparators(path), *blocked));
        return false;
    }
    // The question promised the trash: deleting for good needs its own Yes.
    if (!askYesNo(m_parentWidget, title,
                  tr("\"%1\" cannot be moved to the trash:\n%2\n\nDelete it permanently?")
                      .arg(QFileInfo(path).fileName(), reason),
                  QMessageBox::No))
        return false;
    if (::unlink(nativePath.constData()) == 0)
        return true;
    showMessage(m_parentWidget, QMessageBox::Critical, title,
                tr("Could not delete the file:\n%1").arg(QDir::toNativeSeparators(path)));
    return false;
}

void CProjectsPanel::deleteDevice(int deviceIndex)
{
    const QString title = tr("Delete Device");
    // Taken before the question: a reload during it may reorder the list.
    const STarget target = targetOf(deviceIndex, -1);
    if (!askYesNo(m_parentWidget, title,
                  tr("Move \"%1\" (%2) to the trash?")
                      .arg(target.name, QFileInfo(target.path).fileName())))
        return;
    if (!deviceOnDisk(target, title, tr("Nothing was deleted.")))
        return;
    if (!removeFile(QFile::encodeName(target.path), target.path, title))
        return;
    m_expanded.remove(target.path);
    saveExpanded();
    reload();
}

void CProjectsPanel::deleteErrorFile(const QString& path)
{
    const QString title = tr("Delete File");
    const auto errorAt = [this, &path] {
        return std::find_if(m_errors.cbegin(), m_errors.cend(),
                            [&](const SFileError& e) { return e.path == path; });
    };
    // As the user chose it: the question may run while a reload replaces the list.
    SFileError chosen{path, {}, QFile::encodeName(path), {}};
    if (const auto listed = errorAt(); listed != m_errors.cend())
        chosen = *listed;
    if (!askYesNo(m_parentWidget, title,
                  tr("Move \"%1\" to the trash?").arg(QFileInfo(path).fileName())))
        return;
    // Deleted only as it was when the user chose it: still a file that
    // fails to load, unchanged.
    QString change;
    if (folderReplaced())
        change = folderChangedText(m_folder);
    else if (!isTaken(chosen.nativePath))
        change = removedText(path);
    else if (errorAt() == m_errors.cend() || (chosen.stamp && SFileStamp::Of(path) != chosen.stamp))
        change = fileChangedText(path);
    if (!change.isEmpty()) {
        reload();
        warnChanged(title, change, tr("Nothing was deleted."));
        return;
    }
    removeFile(chosen.nativePath, path, title);
    reload();
}

void CProjectsPanel::renameCommand(int deviceIndex, int commandIndex)
{
    const QString title = tr("Rename Command");
    const STarget target = targetOf(deviceIndex, commandIndex);
    const CI2cDeviceFile copy = m_devices.at(deviceIndex);
    const std::optional<QString> label =
        promptLabel(title, tr("Label:"), target.command.label, copy, commandIndex);
    if (!label)
        return;
    std::optional<CI2cDeviceFile> current = deviceOnDisk(target, title, tr("Nothing was saved."));
    if (!current)
        return;
    current->RenameCommand(commandIndex, *label);
    if (!saveDevice(*current, title))
        return;
    reload();
    selectItem(current->GetFilePath(), commandIndex);
}

void CProjectsPanel::deleteCommand(int deviceIndex, int commandIndex)
{
    const QString title = tr("Delete Command");
    const STarget target = targetOf(deviceIndex, commandIndex);
    if (!askYesNo(m_parentWidget, title,
                  tr("Delete \"%1\" from \"%2\"?").arg(target.command.label, target.name)))
        return;
    std::optional<CI2cDeviceFile> current = deviceOnDisk(target, title, tr("Nothing was saved."));
    if (!current)
        return;
    current->RemoveCommand(commandIndex);
    if (!saveDevice(*current, title))
        return;
    reload();
    selectItem(current->GetFilePath(),
               std::min(commandIndex, static_cast<int>(current->GetCommands().size()) - 1));
}

void CProjectsPanel::moveCommand(int deviceIndex, int commandIndex, int delta)
{
    // Applied to the file as it is now: the tree may not yet show a change
    // that another program made a moment ago.
    const QString title = tr("Projects");
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(targetOf(deviceIndex, commandIndex), title, tr("Nothing was saved."));
    if (!current || !current->MoveCommand(commandIndex, delta) || !saveDevice(*current, title))
        return;
    reload();
    selectItem(current->GetFilePath(), commandIndex + delta);
}
