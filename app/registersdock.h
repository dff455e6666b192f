#pragma once

#include "app/registermapcache.h"
#include "app/watchdock.h"
#include "transactions/registermap.h"
#include "transactions/registermapaccess.h"

#include <QDockWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class CI2cDeviceFile;
class COrvI2c;
class ElidedLabel;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeView;
class RegisterFieldEditor;
class RegisterTreeModel;

// The "Registers" dock: a register map as a tree of registers and fields,
// read and written on the connected adapter. The map is the one that the
// device file selected in the projects names, at the device's address, or
// one picked by hand, at the address in the bench's address box; the dock
// says which. Every access runs on the GUI thread like a bench transaction
// and is a row of the output table named with the chip and the register
// ("LM75: Read TEMP").
class RegistersDock : public QDockWidget {
    Q_OBJECT

public:
    // What the dock asks of the window it lives in.
    struct SHooks {
        // The connected adapter, or null.
        std::function<COrvI2c*()> adapter;
        // Called after an access found the adapter gone; drops the connection.
        std::function<void()> connectionLost;
        std::function<QString(uint8_t address)> formatAddress;
        // The address typed in the bench's address box, or nothing.
        std::function<std::optional<uint8_t>()> benchAddress;
        // The projects folder, beside which the user's maps lie.
        std::function<QString()> projectsFolder;
        // A run that lets the window's events through between registers
        // starts (true) or ends: timed polls of the adapter wait meanwhile.
        std::function<void(bool held)> holdPolls;
        // One row of the output table; chip names the map's device.
        std::function<void(const SMapStep& step, const QString& chip, uint8_t address)> addRow;
        // Opens the watch on a field.
        std::function<void(const WatchDock::STarget& target)> watch;
    };

    RegistersDock(SHooks hooks, QWidget* parent);
    ~RegistersDock() override;

    // The map the device file names, at its address; shows the dock when
    // show is set. The values read stay when it is the map and address
    // already shown.
    void showDevice(const CI2cDeviceFile& device, bool show);
    // A map picked by hand, by device name or file; its address is the
    // bench's. False, with the reason shown, when it cannot be used.
    bool openMap(const QString& nameOrPath);
    // Whether the accesses may run.
    void setConnected(bool connected);
    // The address or its format changed: the address shown follows.
    void refreshAddress();

    const SRegisterMap* map() const;
    RegisterTreeModel* model() const { return m_model; }
    QTreeView* tree() const { return m_tree; }
    RegisterFieldEditor* editor() const { return m_editor; }
    const RegisterMapCache& maps() const { return m_maps; }
    // The address the accesses go to: the device's, or the bench's.
    std::optional<uint8_t> address() const;
    // The last outcome in full, e.g. "Read All: 4 registers read".
    QString statusText() const;
    // A Read All is running (its progress may be shown).
    bool isRunning() const { return m_running; }

protected:
    void showEvent(QShowEvent* event) override;
    // Return in the tree: to the value of the row.
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void onMapActivated(int index);
    void onOpen();
    void onReadAll();
    void onRead();
    void onWrite();
    void onWatch();
    void onCurrentChanged();

private:
    // Where the map came from: a device file, or the user's pick.
    struct SDevice {
        QString name;
        QString filePath;
        uint8_t address = 0;
    };

    void buildUi();
    QStringList mapFolders() const;
    void fillMapList();
    // Shows the map (none clears the view); device null for a map picked by
    // hand.
    void setMap(std::shared_ptr<const SRegisterMap> map, std::optional<SDevice> device);
    void showFailure(const QString& text);
    void setStatus(const QString& text, bool alert);
    void updateButtons();
    // The selected register and field (-1 for a register row).
    int currentRegister() const;
    int currentField() const;
    // The adapter and the address for an access; nothing after the user was
    // told why (an address box that holds no address).
    COrvI2c* prepareAccess(const QString& operation, uint8_t& address);
    // Adds the rows of the steps; false when the adapter went away, whose
    // last failed step then has no row, as a bench transaction has none.
    bool addRows(const std::vector<SMapStep>& steps, const SRegisterMap& map, uint8_t address,
                 COrvI2c& adapter);
    void refreshEditor(bool force);

    SHooks m_hooks;
    RegisterMapCache m_maps;
    std::shared_ptr<const SRegisterMap> m_map;
    std::optional<SDevice> m_device;
    // The chip whose values the tree shows.
    std::optional<uint8_t> m_valuesAddress;
    bool m_connected = false;
    bool m_running = false;

    QComboBox* m_mapBox = nullptr;
    QPushButton* m_openButton = nullptr;
    ElidedLabel* m_addressLabel = nullptr;
    QPushButton* m_readAllButton = nullptr;
    QPushButton* m_readButton = nullptr;
    QPushButton* m_watchButton = nullptr;
    QTreeView* m_tree = nullptr;
    RegisterTreeModel* m_model = nullptr;
    RegisterFieldEditor* m_editor = nullptr;
    QPushButton* m_writeButton = nullptr;
    QLabel* m_status = nullptr;
    QString m_statusText;
};
