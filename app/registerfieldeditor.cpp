#include "app/registerfieldeditor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>
#include <cmath>

namespace {

// The decimals a number box needs to step by the scale: a map may show
// fewer than a step has (0.5 shown as whole degrees), but typing a value
// must reach every step.
int stepDecimals(const SMapField& field)
{
    const double step = std::abs(field.scale);
    for (int decimals = 0; decimals < MAP_FIELD_DECIMALS_MAX; ++decimals) {
        const double scaled = step * std::pow(10.0, decimals);
        if (std::abs(scaled - std::round(scaled)) <= 1e-9 * std::max(1.0, scaled))
            return std::max(decimals, field.decimals);
    }
    return MAP_FIELD_DECIMALS_MAX;
}

// Takes whatever number is typed: the field's range and step are checked at
// the write, with a message, rather than by dropping keystrokes or clamping
// what was typed to a value nobody asked for. The arrows stay in the range.
class NumberBox : public QDoubleSpinBox {
public:
    using QDoubleSpinBox::QDoubleSpinBox;

    void setField(const SFieldRange& range, int shown)
    {
        m_range = range;
        m_shown = shown;
        setDecimals(std::max(shown, TYPED_DECIMALS));
        setRange(-TYPED_MAX, TYPED_MAX);
        setSingleStep(range.step);
    }
    const SFieldRange& field() const { return m_range; }

    QString textFromValue(double value) const override
    {
        const QString shown = locale().toString(value, 'f', m_shown);
        // More digits than the field shows were typed: they stay visible.
        if (std::abs(locale().toDouble(shown) - value) > 1e-12 * std::max(1.0, std::abs(value)))
            return locale().toString(value, 'g', QLocale::FloatingPointShortest);
        return shown;
    }
    void stepBy(int steps) override
    {
        setValue(std::clamp(value() + steps * singleStep(), m_range.low, m_range.high));
        selectAll();
    }

protected:
    StepEnabled stepEnabled() const override
    {
        StepEnabled enabled = StepNone;
        if (value() > m_range.low)
            enabled |= StepDownEnabled;
        if (value() < m_range.high)
            enabled |= StepUpEnabled;
        return enabled;
    }

private:
    static constexpr int TYPED_DECIMALS = 9;
    static constexpr double TYPED_MAX = 1e12;
    SFieldRange m_range;
    int m_shown = 0;
};

QString fieldBitsText(const SMapField& field)
{
    return field.msb == field.lsb
               ? RegisterFieldEditor::tr("bit %1").arg(field.lsb)
               : RegisterFieldEditor::tr("bits %1:%2").arg(field.msb).arg(field.lsb);
}

} // namespace

RegisterFieldEditor::RegisterFieldEditor(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_caption = new QLabel(this);
    m_caption->setObjectName(QStringLiteral("label_registers_field"));
    m_caption->setTextFormat(Qt::PlainText);
    m_labels = new QComboBox(this);
    m_labels->setObjectName(QStringLiteral("cmb_registers_value"));
    m_labels->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_number = new NumberBox(this);
    m_number->setObjectName(QStringLiteral("spin_registers_value"));
    m_bit = new QCheckBox(this);
    m_bit->setObjectName(QStringLiteral("chk_registers_value"));
    m_whole = new QLineEdit(this);
    m_whole->setObjectName(QStringLiteral("edit_registers_value"));
    m_whole->setToolTip(tr("The whole register: hex with 0x, or decimal"));
    layout->addWidget(m_caption);
    for (QWidget* control : {static_cast<QWidget*>(m_labels), static_cast<QWidget*>(m_number),
                             static_cast<QWidget*>(m_bit), static_cast<QWidget*>(m_whole)}) {
        control->hide();
        control->installEventFilter(this);
        layout->addWidget(control);
        m_caption->setBuddy(control);
    }

    const auto edited = [this] {
        if (!m_filling)
            m_edited = true;
    };
    connect(m_labels, &QComboBox::currentIndexChanged, this, edited);
    connect(m_number, &QDoubleSpinBox::valueChanged, this, edited);
    connect(m_number, &QDoubleSpinBox::textChanged, this, edited);
    connect(m_bit, &QCheckBox::toggled, this, edited);
    connect(m_whole, &QLineEdit::textEdited, this, edited);
    setTarget(nullptr, -1, std::nullopt);
}

RegisterFieldEditor::~RegisterFieldEditor() = default;

QWidget* RegisterFieldEditor::control() const
{
    switch (m_kind) {
    case EKind::Labels:
        return m_labels;
    case EKind::Number:
        return m_number;
    case EKind::Bit:
        return m_bit;
    case EKind::Whole:
        return m_whole;
    case EKind::None:
        break;
    }
    return nullptr;
}

void RegisterFieldEditor::setKind(EKind kind)
{
    QWidget* previous = control();
    m_kind = kind;
    QWidget* current = control();
    if (previous && previous != current) {
        // The focus stays in the editor when the control changes under it.
        const bool focused = previous->hasFocus();
        previous->hide();
        if (current && focused)
            current->setFocus();
    }
    if (current) {
        current->show();
        m_caption->setBuddy(current);
    }
}

void RegisterFieldEditor::setTarget(const SMapRegister* reg, int field,
                                    std::optional<uint32_t> value, const QString& note)
{
    m_reg = reg;
    m_field = reg ? field : -1;
    m_edited = false;
    if (!reg) {
        setKind(EKind::None);
        m_caption->setText(note);
        return;
    }
    m_filling = true;
    if (field < 0) {
        setKind(EKind::Whole);
        m_caption->setText(tr("%1:").arg(reg->name));
        m_whole->setAccessibleName(tr("New value of %1").arg(reg->name));
    } else {
        const SMapField& f = reg->fields[static_cast<size_t>(field)];
        const QString path = MapFieldPath(*reg, field);
        if (!f.labels.empty()) {
            setKind(EKind::Labels);
            m_labels->clear();
            for (const SMapLabel& label : f.labels)
                m_labels->addItem(label.text, label.value);
        } else if (f.Width() == 1) {
            setKind(EKind::Bit);
            m_bit->setText(f.name);
        } else {
            setKind(EKind::Number);
            const SFieldRange range = FieldRange(f);
            const int decimals = stepDecimals(f);
            static_cast<NumberBox*>(m_number)->setField(range, decimals);
            m_number->setSuffix(f.unit.isEmpty() ? QString() : QLatin1Char(' ') + f.unit);
            const QLocale locale = m_number->locale();
            m_number->setToolTip(
                tr("%1 to %2%3, in steps of %4")
                    .arg(locale.toString(range.low, 'f', decimals),
                         locale.toString(range.high, 'f', decimals), m_number->suffix(),
                         locale.toString(range.step, 'g', QLocale::FloatingPointShortest)));
        }
        m_caption->setText(tr("%1 (%2):").arg(path, fieldBitsText(f)));
        control()->setAccessibleName(tr("New value of %1").arg(path));
    }
    m_filling = false;
    display(value);
}

void RegisterFieldEditor::setValue(std::optional<uint32_t> value)
{
    if (m_reg && !m_edited)
        display(value);
}

void RegisterFieldEditor::display(std::optional<uint32_t> value)
{
    if (!m_reg)
        return;
    m_filling = true;
    // Nothing read yet: the value after a reset, as far as it is defined.
    const uint32_t base = value ? *value : m_reg->reset.value_or(0) & m_reg->resetMask;
    if (m_kind == EKind::Whole) {
        m_whole->setText(RegisterValueText(*m_reg, base));
    } else {
        const SMapField& f = m_reg->fields[static_cast<size_t>(m_field)];
        const uint32_t bits = FieldBits(f, base);
        switch (m_kind) {
        case EKind::Labels: {
            int index = m_labels->findData(bits);
            if (index < 0) {
                // A value without a label can still be written back.
                m_labels->addItem(QString::number(bits), bits);
                index = m_labels->count() - 1;
            }
            m_labels->setCurrentIndex(index);
            break;
        }
        case EKind::Bit:
            m_bit->setChecked(bits != 0);
            break;
        case EKind::Number:
            m_number->setValue(DecodeField(*m_reg, f, base).number);
            break;
        default:
            break;
        }
    }
    m_filling = false;
}

std::optional<uint32_t> RegisterFieldEditor::bits(SMapError* error) const
{
    if (!m_reg || m_kind == EKind::None) {
        if (error)
            *error = {EMapErrorKind::BadValue, tr("Nothing to write: select a field or register.")};
        return std::nullopt;
    }
    if (m_kind == EKind::Whole)
        return EncodeRegisterText(*m_reg, m_whole->text(), error);
    const SMapField& f = m_reg->fields[static_cast<size_t>(m_field)];
    switch (m_kind) {
    case EKind::Labels:
        return EncodeFieldBits(*m_reg, f, m_labels->currentData().toUInt(), error);
    case EKind::Bit:
        return m_bit->isChecked() ? 1u : 0u;
    case EKind::Number: {
        // What is typed, even before the box has taken it.
        bool ok = false;
        const double number = m_number->locale().toDouble(m_number->cleanText(), &ok);
        if (!ok) {
            if (error)
                *error = {EMapErrorKind::BadValue,
                          tr("%1: \"%2\" is not a number")
                              .arg(MapFieldPath(*m_reg, m_field), m_number->cleanText())};
            return std::nullopt;
        }
        return EncodeFieldNumber(*m_reg, f, number, error);
    }
    default:
        return std::nullopt;
    }
}

bool RegisterFieldEditor::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && watched == control()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            key->modifiers() == Qt::NoModifier) {
            emit submitted();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
