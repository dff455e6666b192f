#pragma once

#include "projects/devicefolder.h"
#include "projects/i2cdevicefile.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

class CProjectsModel;
class QEvent;
class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPoint;
class QSortFilterProxyModel;
class QToolButton;
class QTreeView;
class QWidget;

// The controller behind the projects dock: it shows the device files of one
// folder as a filtered tree of devices and their commands, follows changes
// made to the files outside the program, edits devices and commands, and
// tells the main window which device or command the user picked.
//
// Every edit works on the device as its file is on disk, checks that it is
// still what the user acted on, saves it, reloads the folder (reading again
// only the files that changed) and selects the edited item again, so the
// tree always shows what is on disk.
class CProjectsPanel : public QObject {
    Q_OBJECT

public:
    // The dock's widgets; they stay owned by the window that lends them.
    struct SWidgets {
        QTreeView* tree = nullptr;
        QLineEdit* filterEdit = nullptr;
        QLabel* descriptionLabel = nullptr;
        QToolButton* newButton = nullptr;
        QToolButton* reloadButton = nullptr;
        QToolButton* folderButton = nullptr;
    };

    // A device file that failed to load.
    struct SFileError {
        QString path;          // absolute path
        QString message;       // the device file's error text
        QByteArray nativePath; // the path as the file system knows it
        // The file that gave this error when it was read whole; a reload
        // reads it again only when it changed.
        std::optional<SFileStamp> stamp;
    };

    // The address text in the main window's current format.
    using FormatAddress = std::function<QString(uint8_t address)>;
    // The address a text denotes in the current format, or nothing.
    using ParseAddress = std::function<std::optional<uint8_t>(const QString& text)>;
    // The address typed in the main window's address field, or nothing.
    using CurrentAddress = std::function<std::optional<uint8_t>()>;

    // Reads the settings, prepares the folder (installing the example on a
    // first start) and loads it. All three callbacks must be set; parent is
    // the parent of the panel and of every dialog it opens.
    CProjectsPanel(const SWidgets& widgets, FormatAddress formatAddress, ParseAddress parseAddress,
                   CurrentAddress currentAddress, QWidget* parent);
    ~CProjectsPanel() override;

    QString GetFolder() const { return m_folder; }
    // Switches to the folder (cleaned), stores it and reloads.
    void SetFolder(const QString& folder);
    // The folder used when none is stored.
    static QString DefaultFolder();
    // Renders the tree again, e.g. after the address format changed.
    void RefreshAddresses();
    // Stores the command in the selected device, asking for the device when
    // none is selected and for the label; all feedback is the panel's own.
    void AddCommand(SI2cCommand command);

protected:
    // The tree's keyboard paths: its context menu for the current row, and
    // Return for what a click or double-click on that row does.
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void deviceSelected(uint8_t address);
    void commandSelected(uint8_t address, const SI2cCommand& command);
    void commandExecuteRequested(uint8_t address, const SI2cCommand& command);
    // "Watch..." on a stored read command; filePath names its device file.
    void commandWatchRequested(uint8_t address, const SI2cCommand& command,
                               const QString& filePath);
    // A device whose file names a register map: one of its rows clicked
    // (show false), or "Registers" chosen from its menu (show true).
    void deviceMapSelected(const CI2cDeviceFile& device, bool show);

private slots:
    void reload();
    void onFilterChanged(const QString& text);
    void onClicked(const QModelIndex& proxyIndex);
    void onDoubleClicked(const QModelIndex& proxyIndex);
    void onCurrentChanged(const QModelIndex& proxyIndex);
    void onContextMenu(const QPoint& pos);
    void onNewDevice();
    void onOpenFolder();
    void onExpandedChanged();

private:
    friend class CProjectsPanelProbe; // tests and benchmarks

    int deviceIndexAt(const QModelIndex& proxyIndex) const;
    int commandIndexAt(const QModelIndex& proxyIndex) const;
    void selectItem(const QString& filePath, int commandIndex);
    void saveExpanded() const;
    void prepareFolder();
    // Makes the lists the panel's and shows them, row by row where only a
    // few rows changed, else by a rebuild.
    void showLists(QList<CI2cDeviceFile> devices, QList<SFileError> errors);
    // Rebuilds the tree around the change of the lists, keeping the current
    // row and the expansion.
    void rebuildModel(const std::function<void()>& change);
    // The file and the command index (-1: none) of the current row.
    std::pair<QString, int> currentItem() const;
    void restoreCurrent(const QString& path, int command);
    // Watches the folder and its device files anew; returns the files.
    QList<SFolderEntry> updateWatcher();
    // Whether the folder path leads to another folder than at the last
    // reload (renamed away, replaced, a link re-pointed) or to none.
    bool folderReplaced() const;
    void restoreExpanded();

    // What an action was meant for: a device, by its file and its name as
    // the tree showed it, and for command actions one of its commands,
    // which must still be the same as a whole.
    struct STarget {
        QString path;
        QString name;
        int commandIndex = -1;
        SI2cCommand command;
    };
    STarget targetOf(int deviceIndex, int commandIndex) const;
    // What no longer matches the target in this device; empty when nothing.
    QString changeOf(const STarget& target, const CI2cDeviceFile& device) const;
    // The index of the target's device in the device list, after a menu in
    // which a reload may have run; -1, after a warning that names the
    // change, when the folder, the file or the command is no longer what
    // the menu was opened for.
    int findDevice(const STarget& target);
    // The target's device as it is on disk now, for an action prepared
    // before a dialog. Nothing, after a warning titled title that names the
    // change and ends with outcome, when the folder, the file or the
    // command is no longer what the action was meant for.
    std::optional<CI2cDeviceFile> deviceOnDisk(const STarget& target, const QString& title,
                                               const QString& outcome);
    void warnChanged(const QString& title, const QString& change, const QString& outcome);

    int createDevice();
    bool editDevice(CI2cDeviceFile& file, bool isNew);
    bool isDeviceNameTaken(const QString& name, const QString& exceptPath) const;
    QString uniqueFilePath(const QString& name) const;
    // Saves a device read from disk unless its file changed since it was
    // read (a warning titled title then says so); false when not saved.
    bool saveDevice(const CI2cDeviceFile& file, const QString& title);
    std::optional<QString> promptLabel(const QString& title, const QString& label,
                                       const QString& text, const CI2cDeviceFile& file,
                                       int exceptIndex);
    // Moves the file to the trash; where the trash cannot take it, says so
    // and deletes it only when the user agrees. True when the file is gone.
    bool removeFile(const QByteArray& nativePath, const QString& path, const QString& title);
    void showDeviceProperties(int deviceIndex);
    void deleteDevice(int deviceIndex);
    void deleteErrorFile(const QString& path);
    void showContextMenu(const QModelIndex& index, const QPoint& globalPos);
    void renameCommand(int deviceIndex, int commandIndex);
    void deleteCommand(int deviceIndex, int commandIndex);
    void moveCommand(int deviceIndex, int commandIndex, int delta);

    SWidgets m_widgets;
    FormatAddress m_formatAddress;
    ParseAddress m_parseAddress;
    CurrentAddress m_currentAddress;
    QWidget* m_parentWidget = nullptr;
    CProjectsModel* m_model = nullptr;
    QSortFilterProxyModel* m_proxy = nullptr;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer m_reloadTimer;
    QString m_folder;
    std::optional<SFolderIdentity> m_folderIdentity;
    QList<CI2cDeviceFile> m_devices;
    QList<SFileError> m_errors;
    QSet<QString> m_expanded;
    bool m_restoring = false;
};
