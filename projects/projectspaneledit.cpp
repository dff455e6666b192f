// The projects panel's editing actions: devices and commands created,
// changed, moved and deleted. Every edit works on the file as it is on disk
// when the user has answered its dialog, saves it and reloads the folder.

#include "projects/projectspanel.h"

#include "projects/projectdevicedialog.h"
#include "projects/trash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTreeView>

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

bool askYesNo(QWidget* parent, const QString& title, const QString& text)
{
    return showMessage(parent, QMessageBox::Question, title, text,
                       QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

// What an outside change did to the file or command that an action was
// meant for.
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

} // namespace

int CProjectsPanel::findDevice(const QString& filePath, int commandIndex, const QString& label)
{
    for (int i = 0; i < m_devices.size(); ++i) {
        const CI2cDeviceFile& device = m_devices.at(i);
        if (device.GetFilePath() != filePath)
            continue;
        if (commandIndex < 0 || (commandIndex < device.GetCommands().size() &&
                                 device.GetCommands().at(commandIndex).label == label))
            return i;
        showMessage(m_parentWidget, QMessageBox::Warning, tr("Projects"),
                    commandChangedText(label, device.GetName()));
        return -1;
    }
    const auto error = std::find_if(m_errors.cbegin(), m_errors.cend(),
                                    [&](const SFileError& e) { return e.path == filePath; });
    showMessage(m_parentWidget, QMessageBox::Warning, tr("Projects"),
                error != m_errors.cend() ? unreadableText(filePath, error->message)
                                         : removedText(filePath));
    return -1;
}

std::optional<CI2cDeviceFile> CProjectsPanel::deviceOnDisk(const QString& filePath,
                                                           int commandIndex, const QString& label,
                                                           const QString& title)
{
    CI2cDeviceFile device;
    QString change;
    if (!device.Load(filePath)) {
        change = QFileInfo::exists(filePath) ? unreadableText(filePath, device.GetLastError())
                                             : removedText(filePath);
    } else if (commandIndex >= 0 && (commandIndex >= device.GetCommands().size() ||
                                     device.GetCommands().at(commandIndex).label != label)) {
        change = commandChangedText(label, device.GetName());
    }
    if (change.isEmpty())
        return device;
    showMessage(m_parentWidget, QMessageBox::Warning, title,
                change + QStringLiteral("\n\n") + tr("Nothing was saved."));
    return std::nullopt;
}

void CProjectsPanel::onNewDevice()
{
    createDevice();
}

int CProjectsPanel::createDevice()
{
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
    ProjectDeviceDialog dialog(
        isNew ? tr("New Device") : tr("Device Properties"), m_parseAddress,
        [this, exceptPath](const QString& name) { return isDeviceNameTaken(name, exceptPath); },
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
    file.SetDescription(dialog.description());
    return true;
}

bool CProjectsPanel::isDeviceNameTaken(const QString& name, const QString& exceptPath) const
{
    const QString trimmed = name.trimmed();
    return std::any_of(m_devices.begin(), m_devices.end(), [&](const CI2cDeviceFile& device) {
        return device.GetFilePath() != exceptPath &&
               QString::compare(device.GetName().trimmed(), trimmed, Qt::CaseInsensitive) == 0;
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
    // found again after the reload.
    const QDir folder(m_folder);
    QString candidate =
        folder.absoluteFilePath(base + QLatin1Char('.') + CI2cDeviceFile::FILE_SUFFIX);
    for (int n = 2; QFileInfo::exists(candidate); ++n) {
        candidate = folder.absoluteFilePath(
            QStringLiteral("%1_%2.%3").arg(base).arg(n).arg(CI2cDeviceFile::FILE_SUFFIX));
    }
    return QDir::cleanPath(candidate);
}

bool CProjectsPanel::saveDevice(const CI2cDeviceFile& file)
{
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
    int device = deviceIndexAt(m_widgets.tree->currentIndex());
    if (device < 0) {
        if (!askYesNo(m_parentWidget, tr("Save Command"),
                      tr("No device selected in the projects list.\nCreate a new device?")))
            return;
        device = createDevice();
        if (device < 0)
            return;
    }

    const CI2cDeviceFile copy = m_devices.at(device);
    const std::optional<QString> label =
        promptLabel(tr("Save Command"), tr("Label for the command in \"%1\":").arg(copy.GetName()),
                    suggestedLabel(command), copy, -1);
    if (!label)
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), -1, QString(), tr("Save Command"));
    if (!current)
        return;
    command.label = *label;
    current->AddCommand(command);
    if (!saveDevice(*current))
        return;
    m_expanded.insert(current->GetFilePath());
    saveExpanded();
    reload();
    selectItem(current->GetFilePath(), current->GetCommands().size() - 1);
}

void CProjectsPanel::showDeviceProperties(int deviceIndex)
{
    CI2cDeviceFile copy = m_devices.at(deviceIndex);
    if (!editDevice(copy, false))
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), -1, QString(), tr("Device Properties"));
    if (!current)
        return;
    current->SetName(copy.GetName());
    current->SetAddress(copy.GetAddress());
    current->SetDescription(copy.GetDescription());
    if (!saveDevice(*current))
        return;
    reload();
    selectItem(current->GetFilePath(), -1);
}

void CProjectsPanel::deleteDevice(int deviceIndex)
{
    // Taken before the question: a reload during it may reorder the list.
    const CI2cDeviceFile device = m_devices.at(deviceIndex);
    const QString path = device.GetFilePath();
    if (!askYesNo(
            m_parentWidget, tr("Delete Device"),
            tr("Move \"%1\" (%2) to the trash?").arg(device.GetName(), QFileInfo(path).fileName())))
        return;
    if (!trashOrRemove(path)) {
        showMessage(m_parentWidget, QMessageBox::Critical, tr("Delete Device"),
                    tr("Could not delete the file:\n%1").arg(QDir::toNativeSeparators(path)));
        return;
    }
    m_expanded.remove(path);
    saveExpanded();
    reload();
}

void CProjectsPanel::deleteErrorFile(const QString& path)
{
    if (!askYesNo(m_parentWidget, tr("Delete File"),
                  tr("Move \"%1\" to the trash?").arg(QFileInfo(path).fileName())))
        return;
    // A failure shows itself: the reload lists the file again.
    trashOrRemove(path);
    reload();
}

void CProjectsPanel::renameCommand(int deviceIndex, int commandIndex)
{
    const CI2cDeviceFile copy = m_devices.at(deviceIndex);
    const QString oldLabel = copy.GetCommands().at(commandIndex).label;
    const std::optional<QString> label =
        promptLabel(tr("Rename Command"), tr("Label:"), oldLabel, copy, commandIndex);
    if (!label)
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), commandIndex, oldLabel, tr("Rename Command"));
    if (!current)
        return;
    current->RenameCommand(commandIndex, *label);
    if (!saveDevice(*current))
        return;
    reload();
    selectItem(current->GetFilePath(), commandIndex);
}

void CProjectsPanel::deleteCommand(int deviceIndex, int commandIndex)
{
    const CI2cDeviceFile copy = m_devices.at(deviceIndex);
    const QString label = copy.GetCommands().at(commandIndex).label;
    if (!askYesNo(m_parentWidget, tr("Delete Command"),
                  tr("Delete \"%1\" from \"%2\"?").arg(label, copy.GetName())))
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), commandIndex, label, tr("Delete Command"));
    if (!current)
        return;
    current->RemoveCommand(commandIndex);
    if (!saveDevice(*current))
        return;
    reload();
    selectItem(current->GetFilePath(),
               std::min(commandIndex, static_cast<int>(current->GetCommands().size()) - 1));
}

void CProjectsPanel::moveCommand(int deviceIndex, int commandIndex, int delta)
{
    CI2cDeviceFile copy = m_devices.at(deviceIndex);
    if (!copy.MoveCommand(commandIndex, delta) || !saveDevice(copy))
        return;
    reload();
    selectItem(copy.GetFilePath(), commandIndex + delta);
}
