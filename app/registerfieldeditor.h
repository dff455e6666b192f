#pragma once

#include "transactions/registercodec.h"
#include "transactions/registermap.h"

#include <QWidget>

#include <cstdint>
#include <optional>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;

// The control that fits what is edited: a list for a field with labelled
// values, a number box in a field's unit (its range and step from
// FieldRange), a check box for a one-bit field, and a hex or decimal number
// for a whole register. It starts from the value last read, or the reset
// value, and gives the bits to write.
class RegisterFieldEditor : public QWidget {
    Q_OBJECT

public:
    enum class EKind { None, Labels, Number, Bit, Whole };

    explicit RegisterFieldEditor(QWidget* parent = nullptr);
    ~RegisterFieldEditor() override;

    // Edits the field (-1: the whole register) of reg, which must outlive
    // the editor's use of it; null edits nothing and says why in note.
    // value is the register's value to start from.
    void setTarget(const SMapRegister* reg, int field, std::optional<uint32_t> value,
                   const QString& note = QString());
    // A new value read: shown unless the control was changed since.
    void setValue(std::optional<uint32_t> value);
    EKind kind() const { return m_kind; }
    // The control in use; null for none.
    QWidget* control() const;
    bool isEdited() const { return m_edited; }
    // The field's bits (or the register's value) to write; nothing with the
    // reason in error.
    std::optional<uint32_t> bits(SMapError* error) const;

signals:
    // Return in the control: write.
    void submitted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void display(std::optional<uint32_t> value);
    void setKind(EKind kind);

    const SMapRegister* m_reg = nullptr;
    int m_field = -1;
    EKind m_kind = EKind::None;
    bool m_edited = false;
    bool m_filling = false;

    QLabel* m_caption = nullptr;
    QComboBox* m_labels = nullptr;
    QDoubleSpinBox* m_number = nullptr;
    QCheckBox* m_bit = nullptr;
    QLineEdit* m_whole = nullptr;
};
