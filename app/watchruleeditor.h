#pragma once

#include "transactions/valuedecoding.h"

#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class ElidedLabel;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// What a watch reads from its device and how it decodes the bytes.
struct SWatchRule {
    // Written before each read; none reads at the device's current pointer.
    std::optional<uint32_t> reg;
    int regWidth = 1; // pointer bytes, 1 to 4
    SDecodingRule decoding;

    // Whether both read the same bytes: the same register, so that samples
    // of one can stand beside those of the other.
    bool readsAsSameAs(const SWatchRule& other) const
    {
        return reg == other.reg && regWidth == other.regWidth;
    }
};

// The rule as a person writes it: the fields of the editor, the remembered
// settings, a register map's "Watch...".
struct SWatchRuleTexts {
    QString reg; // hex, empty for none
    int regWidth = 1;
    SDecodingTexts decoding;

    bool operator==(const SWatchRuleTexts& other) const
    {
        const SDecodingTexts& a = decoding;
        const SDecodingTexts& b = other.decoding;
        return reg == other.reg && regWidth == other.regWidth && a.format == b.format &&
               a.shift == b.shift && a.mask == b.mask && a.scale == b.scale &&
               a.offset == b.offset && a.unit == b.unit && a.decimals == b.decimals &&
               a.maskSigned == b.maskSigned;
    }
};

// The fields of a watch rule: register pointer and its width, format,
// shift, mask (and whether the masked value is signed), scale, offset, unit
// and decimals. Each field is checked on
// its own; a field that is not valid is marked on itself (colour, tool tip
// and accessible description) until it is. The rule applies only when every
// field is valid, on Return or when the focus leaves a field (a choice of
// format or width at once): a half-typed register never reaches the bus,
// and the numbers shown always follow the rule that the fields show, or say
// that it was not applied and which one is in force.
class WatchRuleEditor : public QWidget {
    Q_OBJECT

public:
    explicit WatchRuleEditor(QWidget* parent = nullptr);
    ~WatchRuleEditor() override;

    // Fills the fields and applies them when every one is valid; otherwise
    // the fields that are not are marked and the rule in force stays.
    void setTexts(const SWatchRuleTexts& texts);
    // The fields as they stand, applied or not.
    SWatchRuleTexts texts() const;
    // The rule in force and the texts it was applied from.
    const SWatchRule& appliedRule() const { return m_applied; }
    const SWatchRuleTexts& appliedTexts() const { return m_appliedTexts; }
    // Every field valid and in force.
    bool isApplied() const;
    // Why the fields do not apply: the first field that is not valid; empty
    // when all are.
    QString error() const;
    // A fault that the rule meets in the data (too few bytes for the format,
    // a value that overflows), shown beside the fields; empty for none.
    void setDecodingError(const QString& error);

    // The rule in force as one line, e.g. "register 00, s16be, shift 7,
    // scale 0.5, unit °C".
    static QString describe(const SWatchRuleTexts& texts);
    // The format of a read of this many bytes when nobody chose one: u8,
    // u16be, u24be, u32be.
    static EValueFormat defaultFormat(int byteCount);

    QComboBox* formatField() const { return m_format; }

    // Rows of the caller's own fields in the editor's grid, so that they line
    // up with the rule's: above or below them, a label and a field, and a
    // second pair beside them or, without one, the field across the row.
    enum class ERowPlace { Above, Rule, Below };
    void addRow(ERowPlace place, const QString& label, QWidget* field,
                const QString& secondLabel = QString(), QWidget* second = nullptr);

signals:
    void ruleApplied(const SWatchRule& rule);
    // The fields were committed while one of them is not valid: error says
    // which and why; the rule in force stays.
    void ruleInvalid(const QString& error);

private:
    struct SField;
    struct SRow {
        ERowPlace place;
        QString label;
        QWidget* field;
        QString secondLabel;
        QWidget* second;
        std::array<QLabel*, 2> captions{};
    };

    void layOut();
    void onCommitted();
    // Checks every field and marks those that are not valid; marked is
    // whether a field that fails is marked now (at a commit) or only
    // unmarked when it became valid (while typing).
    void check(bool mark);
    void apply();
    void updateState();
    QString fieldError(const SField& field) const;

    QLineEdit* m_register = nullptr;
    QSpinBox* m_registerWidth = nullptr;
    QComboBox* m_format = nullptr;
    QLineEdit* m_shift = nullptr;
    QLineEdit* m_mask = nullptr;
    QCheckBox* m_maskSigned = nullptr;
    QLineEdit* m_scale = nullptr;
    QLineEdit* m_offset = nullptr;
    QLineEdit* m_unit = nullptr;
    QSpinBox* m_decimals = nullptr;
    ElidedLabel* m_state = nullptr;

    std::vector<SField> m_fields;
    std::vector<SRow> m_rows;
    SWatchRule m_applied;
    SWatchRuleTexts m_appliedTexts;
    QString m_decodingError;
    // Set while the fields are filled from outside.
    bool m_filling = false;
};
