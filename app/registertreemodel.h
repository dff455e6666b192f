#pragma once

#include "transactions/registermap.h"
#include "transactions/registermapaccess.h"

#include <QAbstractItemModel>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The registers of a map as a tree, a register per top-level row and its
// fields below it, with what the last reads and writes found: the values,
// the bits that changed since the read before (not for a volatile register,
// which changes by itself), the reads that failed, the read-backs that differ
// from what was written. Texts are decoded when a view asks for a cell, so
// that a reading of every register updates the rows in place: no row comes or
// goes after the map is set.
class RegisterTreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    enum EColumn {
        ColumnName,
        ColumnAddress,
        ColumnRaw,
        ColumnValue,
        ColumnAccess,
        ColumnDescription,
        ColumnCount
    };

    explicit RegisterTreeModel(QObject* parent = nullptr);
    ~RegisterTreeModel() override;

    // A new map, or none; every value is forgotten.
    void setMap(std::shared_ptr<const SRegisterMap> map);
    const SRegisterMap* map() const { return m_map.get(); }
    const std::shared_ptr<const SRegisterMap>& sharedMap() const { return m_map; }

    // Forgets every value, e.g. for another chip.
    void clearValues();
    // The registers of a read: each gets its value or its error. After a
    // read of every register (all), or of one whose read clears something,
    // the values that read did not renew are marked as old.
    void applyRead(const SMapRead& read, bool all = false);
    // A read-modify-write of the register: its read-back (or, for a register
    // that cannot be read, the value written) and the bits that read back
    // other than written.
    void applyWrite(int reg, const SMapWriteResult& result);

    std::optional<uint32_t> value(int reg) const;
    // Why the last read of the register gave no value; empty when it did.
    QString error(int reg) const;
    // Whether the register (field -1) or the field changed at the last read.
    bool isChanged(int reg, int field = -1) const;
    // Whether the register (field -1) or the field read back other than written.
    bool isMismatch(int reg, int field = -1) const;
    // Whether the register's value predates the last Read All, or the last
    // read that clears something, and could have changed since.
    bool isStale(int reg) const;
    // The Value column's text.
    QString valueText(int reg, int field = -1) const;

    // The register of a row, -1 for none; the field, -1 for a register row.
    int registerOf(const QModelIndex& index) const;
    int fieldOf(const QModelIndex& index) const;
    QModelIndex indexOf(int reg, int field = -1, int column = ColumnName) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct SState {
        std::optional<uint32_t> value;    // read last, or read back
        std::optional<uint32_t> previous; // the value before, while changed marks it
        std::optional<uint32_t> written;  // by the last write
        QString error;                    // why the last read gave nothing
        uint32_t changed = 0;             // bits that differ from the read before
        uint32_t mismatch = 0;            // bits that read back other than written
        quint64 generation = 0;           // m_generation when last read
    };

    const SMapRegister& registerAt(int reg) const;
    void setValue(int reg, uint32_t value);
    // The register rows from first to last and their fields' rows, columns
    // Name to Value, repaint.
    void announce(int first, int last);
    QString addressText(int reg, int field) const;
    QString rawText(int reg, int field) const;
    QString accessText(int reg, int field) const;
    QString stateText(int reg, int field) const;
    QString toolTip(int reg, int field, int column) const;

    std::shared_ptr<const SRegisterMap> m_map;
    std::vector<SState> m_states;
    // Renewed by every Read All and every read that clears something; a
    // value read before the current one may be old.
    quint64 m_generation = 0;
    QString m_staleWhy;
};
