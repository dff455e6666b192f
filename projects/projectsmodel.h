#pragma once

#include "projects/projectspanel.h"

#include <QAbstractItemModel>
#include <QList>
#include <QString>

#include <array>
#include <vector>

// The projects tree as a model over the panel's device and error lists:
// device rows with their command rows beneath, then one row per file that
// failed to load. It keeps no item per row; every text is made when the
// view asks for it, so a device with a million commands costs no more than
// its commands themselves.
//
// The lists belong to the panel; whoever changes them does so between
// beginReset() and endReset(), or, where every row keeps its place,
// reports the rows that changed right after the change.
class CProjectsModel : public QAbstractItemModel {
    Q_OBJECT

public:
    static constexpr int ROLE_DEVICE_INDEX = Qt::UserRole + 1;
    static constexpr int ROLE_COMMAND_INDEX = Qt::UserRole + 2;
    static constexpr int ROLE_FILE_PATH = Qt::UserRole + 3;

    CProjectsModel(const QList<CI2cDeviceFile>& devices,
                   const QList<CProjectsPanel::SFileError>& errors,
                   CProjectsPanel::FormatAddress formatAddress, QObject* parent);
    ~CProjectsModel() override;

    void beginReset();
    void endReset();
    // Device row `device` kept its place; its texts and commands may have
    // changed, and so may their number.
    void commandsChanged(int device);
    // Error row `error` kept its place; its text may have changed.
    void errorChanged(int error);
    // The address format changed: every device row shows its address anew.
    void addressesChanged();

    // Column 0 of top-level row `row`, or of its command row `command`.
    QModelIndex indexOf(int row, int command = -1) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    QVariant deviceData(int device, int column, int role) const;
    // Finds the devices whose names another device has too; reports the
    // rows whose text changes with that.
    void findNameClashes(bool report);
    QVariant commandData(int device, int command, int column, int role) const;
    QVariant errorData(int error, int column, int role) const;

    const QList<CI2cDeviceFile>& m_devices;
    const QList<CProjectsPanel::SFileError>& m_errors;
    CProjectsPanel::FormatAddress m_formatAddress;
    // The command count of every device row as the view knows it: a change
    // of one device is reported as rows inserted or removed against it.
    std::vector<int> m_commandCounts;
    // Device addresses as the window formats them, made when the rows
    // change: the view may ask while the window is being destroyed.
    std::vector<QString> m_addressTexts;
    // Devices whose name another device has too: they show their file name.
    std::vector<bool> m_nameClashes;
    // Texts that repeat on many rows, made once. Write types are indexed by
    // the start/stop mode.
    std::array<QString, 4> m_writeTypes;
    QString m_readType;
    QString m_addressOnly;
    QString m_errorText;
    std::array<QString, 3> m_headers;
};
