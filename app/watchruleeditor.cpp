#include "app/watchruleeditor.h"

#include "app/elidedlabel.h"
#include "numbers/parsenumber.h"
#include "transactions/registeraccess.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

#include <algorithm>

namespace {

const QColor INVALID_BASE(0xFF, 0xEB, 0xEE);
const QColor INVALID_TEXT(0xB7, 0x1C, 0x1C);
const QColor ERROR_COLOR(0xF4, 0x43, 0x36);
constexpr int DEFAULT_DECIMALS = 2;

// The register field: hex with or without 0x, fitting the pointer bytes;
// empty is none.
bool parseRegister(const QString& text, int width, std::optional<uint32_t>& reg,
                   QString* error = nullptr)
{
    reg.reset();
    if (text.trimmed().isEmpty())
        return true;
    const uint64_t maximum = (uint64_t{1} << (8 * width)) - 1;
    const std::optional<uint64_t> value =
        ParseNumber(text.trimmed(), ENumberSyntax::Hex, maximum, error);
    if (!value)
        return false;
    reg = static_cast<uint32_t>(*value);
    return true;
}

QLineEdit* createEdit(QWidget* parent, const char* name, const QString& placeholder)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    return edit;
}

void announce(QWidget* widget)
{
    QAccessibleEvent event(widget, QAccessible::Alert);
    QAccessible::updateAccessibility(&event);
}

} // namespace

// One text field and what its check last found.
struct WatchRuleEditor::SField {
    QLineEdit* edit = nullptr;
    QString toolTip; // the field's own, shown again once it is valid
    QPalette palette;
    QString error;
    bool marked = false;
};

WatchRuleEditor::WatchRuleEditor(QWidget* parent) : QWidget(parent)
{
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    m_register = createEdit(this, "edit_watch_register", tr("none"));
    m_register->setToolTip(tr("Register pointer written before each read, in hex; empty reads "
                              "at the device's current pointer"));
    m_registerWidth = new QSpinBox(this);
    m_registerWidth->setObjectName(QStringLiteral("spin_watch_register_width"));
    m_registerWidth->setRange(REGISTER_WIDTH_MIN, REGISTER_WIDTH_MAX);
    m_format = new QComboBox(this);
    m_format->setObjectName(QStringLiteral("cmb_watch_format"));
    m_format->addItems(ValueFormatNames());
    m_format->setCurrentText(ValueFormatName(EValueFormat::U16Be));
    m_shift = createEdit(this, "edit_watch_shift", QStringLiteral("0"));
    m_shift->setToolTip(tr("Right shift in bits, less than the format's width"));
    m_mask = createEdit(this, "edit_watch_mask", tr("none"));
    m_mask->setToolTip(tr("Bit mask after the shift, hex with 0x or decimal"));
    m_maskSigned = new QCheckBox(tr("Masked value signed"), this);
    m_maskSigned->setObjectName(QStringLiteral("chk_watch_mask_signed"));
    m_maskSigned->setToolTip(tr("The bits the mask leaves are a two's-complement number, as a "
                                "signed field inside a register is"));
    m_scale = createEdit(this, "edit_watch_scale", QStringLiteral("1"));
    m_scale->setToolTip(tr("A number or a fraction, e.g. 0.5 or 1/1.2"));
    m_offset = createEdit(this, "edit_watch_offset", QStringLiteral("0"));
    m_unit = createEdit(this, "edit_watch_unit", QString());
    m_decimals = new QSpinBox(this);
    m_decimals->setObjectName(QStringLiteral("spin_watch_decimals"));
    m_decimals->setRange(0, DECODING_DECIMALS_MAX);
    m_decimals->setValue(DEFAULT_DECIMALS);
    // Typed digits apply with Return or when the focus leaves, as the text
    // fields do; the arrows at once.
    m_registerWidth->setKeyboardTracking(false);
    m_decimals->setKeyboardTracking(false);

    m_rows.push_back(
        {ERowPlace::Rule, tr("Register:"), m_register, tr("Pointer bytes:"), m_registerWidth});
    m_rows.push_back({ERowPlace::Rule, tr("Format:"), m_format, tr("Shift:"), m_shift});
    m_rows.push_back({ERowPlace::Rule, tr("Mask:"), m_mask, tr("Scale:"), m_scale});
    m_rows.push_back({ERowPlace::Rule, tr("Offset:"), m_offset, tr("Unit:"), m_unit});
    m_rows.push_back({ERowPlace::Rule, tr("Decimals:"), m_decimals, QString(), m_maskSigned});
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    // Two lines, always there: the buttons below do not move when it fills.
    m_state = new ElidedLabel(this);
    m_state->setObjectName(QStringLiteral("label_watch_rule_state"));
    m_state->setStyleSheet(QStringLiteral("color:%1").arg(ERROR_COLOR.name()));
    m_state->setMinimumLines(2);
    layOut();

    for (QLineEdit* edit : {m_register, m_shift, m_mask, m_scale, m_offset, m_unit}) {
        SField field;
        field.edit = edit;
        field.toolTip = edit->toolTip();
        field.palette = edit->palette();
        m_fields.push_back(field);
        connect(edit, &QLineEdit::editingFinished, this, &WatchRuleEditor::onCommitted);
        connect(edit, &QLineEdit::textChanged, this, [this] { check(false); });
    }
    connect(m_format, &QComboBox::currentIndexChanged, this, &WatchRuleEditor::onCommitted);
    connect(m_maskSigned, &QCheckBox::toggled, this, &WatchRuleEditor::onCommitted);
    connect(m_registerWidth, &QSpinBox::valueChanged, this, &WatchRuleEditor::onCommitted);
    connect(m_decimals, &QSpinBox::valueChanged, this, &WatchRuleEditor::onCommitted);

    m_appliedTexts = texts();
    m_applied.decoding = *ParseDecodingRule(m_appliedTexts.decoding, nullptr);
}

WatchRuleEditor::~WatchRuleEditor() = default;

void WatchRuleEditor::addRow(ERowPlace place, const QString& label, QWidget* field,
                             const QString& secondLabel, QWidget* second)
{
    m_rows.push_back({place, label, field, secondLabel, second});
    layOut();
}

void WatchRuleEditor::layOut()
{
    auto* grid = static_cast<QGridLayout*>(layout());
    int row = 0;
    for (const ERowPlace place : {ERowPlace::Above, ERowPlace::Rule, ERowPlace::Below}) {
        for (SRow& entry : m_rows) {
            if (entry.place != place)
                continue;
            const std::pair<QString, QWidget*> halves[] = {{entry.label, entry.field},
                                                           {entry.secondLabel, entry.second}};
            for (int half = 0; half < 2; ++half) {
                QWidget* field = halves[half].second;
                if (!field)
                    continue;
                if (!entry.captions[half]) {
                    entry.captions[half] = new QLabel(halves[half].first, this);
                    entry.captions[half]->setBuddy(field);
                }
                // A field without a second one beside it takes the row.
                grid->removeWidget(entry.captions[half]);
                grid->removeWidget(field);
                grid->addWidget(entry.captions[half], row, half * 2);
                grid->addWidget(field, row, half * 2 + 1, 1,
                                entry.second || place == ERowPlace::Rule ? 1 : 3);
            }
            ++row;
        }
    }
    grid->removeWidget(m_state);
    grid->addWidget(m_state, row, 0, 1, 4);
}

SWatchRuleTexts WatchRuleEditor::texts() const
{
    SWatchRuleTexts texts;
    texts.reg = m_register->text().trimmed();
    texts.regWidth = m_registerWidth->value();
    texts.decoding = {m_format->currentText(),
                      m_shift->text().trimmed(),
                      m_mask->text().trimmed(),
                      m_scale->text().trimmed(),
                      m_offset->text().trimmed(),
                      m_unit->text().trimmed(),
                      QString::number(m_decimals->value()),
                      m_maskSigned->isChecked()};
    return texts;
}

void WatchRuleEditor::setTexts(const SWatchRuleTexts& texts)
{
    m_filling = true;
    m_register->setText(texts.reg);
    m_registerWidth->setValue(std::clamp(texts.regWidth, REGISTER_WIDTH_MIN, REGISTER_WIDTH_MAX));
    const auto format = ParseValueFormat(texts.decoding.format);
    m_format->setCurrentText(ValueFormatName(format.value_or(EValueFormat::U16Be)));
    m_shift->setText(texts.decoding.shift);
    m_mask->setText(texts.decoding.mask);
    m_maskSigned->setChecked(texts.decoding.maskSigned);
    m_scale->setText(texts.decoding.scale);
    m_offset->setText(texts.decoding.offset);
    m_unit->setText(texts.decoding.unit);
    bool ok = false;
    const int decimals = texts.decoding.decimals.toInt(&ok);
    m_decimals->setValue(ok ? std::clamp(decimals, 0, DECODING_DECIMALS_MAX) : DEFAULT_DECIMALS);
    m_filling = false;
    m_decodingError.clear();

    check(true);
    if (error().isEmpty()) {
        apply();
        return;
    }
    // Another source's rule must not go on: in force are these texts with
    // each field that is not valid at its default.
    SWatchRuleTexts fallback = this->texts();
    for (const SField& field : m_fields) {
        if (field.error.isEmpty())
            continue;
        QString* text = field.edit == m_register ? &fallback.reg
                        : field.edit == m_shift  ? &fallback.decoding.shift
                        : field.edit == m_mask   ? &fallback.decoding.mask
                        : field.edit == m_scale  ? &fallback.decoding.scale
                                                 : &fallback.decoding.offset;
        text->clear();
        if (text == &fallback.decoding.mask)
            fallback.decoding.maskSigned = false;
    }
    m_appliedTexts = fallback;
    m_applied.reg.reset();
    m_applied.regWidth = fallback.regWidth;
    parseRegister(fallback.reg, fallback.regWidth, m_applied.reg);
    m_applied.decoding = ParseDecodingRule(fallback.decoding, nullptr).value_or(SDecodingRule());
    emit ruleApplied(m_applied);
    emit ruleInvalid(error());
    updateState();
}

bool WatchRuleEditor::isApplied() const
{
    return error().isEmpty() && texts() == m_appliedTexts;
}

QString WatchRuleEditor::error() const
{
    for (const SField& field : m_fields) {
        if (!field.error.isEmpty())
            return field.error;
    }
    return {};
}

void WatchRuleEditor::setDecodingError(const QString& error)
{
    if (error == m_decodingError)
        return;
    m_decodingError = error;
    updateState();
}

QString WatchRuleEditor::fieldError(const SField& field) const
{
    const QString text = field.edit->text().trimmed();
    if (field.edit == m_register) {
        std::optional<uint32_t> reg;
        QString reason;
        if (parseRegister(text, m_registerWidth->value(), reg, &reason))
            return {};
        return tr("Invalid register \"%1\": %2. Enter hex that fits %n pointer byte(s), e.g. 00.",
                  nullptr, m_registerWidth->value())
            .arg(text, reason);
    }
    if (field.edit == m_unit)
        return {};
    // Plain decimals, as people type them; the width check follows below.
    QString reason;
    if (field.edit == m_shift && !text.isEmpty() &&
        !ParseNumber(text, ENumberSyntax::Decimal, UINT32_MAX, &reason))
        return tr("Invalid shift \"%1\": %2. Enter a number of bits, e.g. 7.").arg(text, reason);
    // Each number is checked by the shared rules, with the format it
    // depends on and without the other fields.
    SDecodingTexts alone;
    alone.format = m_format->currentText();
    if (field.edit == m_shift)
        alone.shift = text;
    else if (field.edit == m_mask) {
        alone.mask = text;
        alone.maskSigned = m_maskSigned->isChecked();
    } else if (field.edit == m_scale)
        alone.scale = text;
    else if (field.edit == m_offset)
        alone.offset = text;
    QString error;
    ParseDecodingRule(alone, &error);
    return error;
}

void WatchRuleEditor::check(bool mark)
{
    if (m_filling)
        return;
    bool changed = false;
    for (SField& field : m_fields) {
        field.error = fieldError(field);
        if (field.error.isEmpty() && field.marked) {
            field.edit->setPalette(field.palette);
            field.edit->setToolTip(field.toolTip);
            field.edit->setAccessibleDescription(QString());
            field.marked = false;
            changed = true;
        } else if (!field.error.isEmpty() && (mark || field.marked)) {
            QPalette palette = field.palette;
            palette.setColor(QPalette::Base, INVALID_BASE);
            palette.setColor(QPalette::Text, INVALID_TEXT);
            field.edit->setPalette(palette);
            field.edit->setToolTip(field.error);
            field.edit->setAccessibleDescription(tr("Not valid: %1").arg(field.error));
            changed = changed || !field.marked;
            field.marked = true;
        }
    }
    if (changed)
        updateState();
}

void WatchRuleEditor::onCommitted()
{
    if (m_filling)
        return;
    check(true);
    const QString problem = error();
    if (!problem.isEmpty()) {
        updateState();
        emit ruleInvalid(problem);
        return;
    }
    apply();
}

void WatchRuleEditor::apply()
{
    const SWatchRuleTexts now = texts();
    if (now == m_appliedTexts) {
        updateState();
        return;
    }
    SWatchRule rule;
    rule.regWidth = now.regWidth;
    parseRegister(now.reg, now.regWidth, rule.reg);
    rule.decoding = *ParseDecodingRule(now.decoding, nullptr);
    m_applied = rule;
    m_appliedTexts = now;
    m_decodingError.clear();
    updateState();
    emit ruleApplied(m_applied);
}

void WatchRuleEditor::updateState()
{
    QString text;
    const QString problem = error();
    const bool shown = std::any_of(m_fields.cbegin(), m_fields.cend(),
                                   [](const SField& field) { return field.marked; });
    if (shown && !problem.isEmpty()) {
        text = tr("Rule not applied: %1").arg(problem) + QLatin1Char('\n') +
               tr("In force: %1").arg(describe(m_appliedTexts));
    } else if (!m_decodingError.isEmpty()) {
        text = tr("Rule error: %1").arg(m_decodingError) + QLatin1Char('\n') +
               tr("In force: %1").arg(describe(m_appliedTexts));
    }
    if (text == m_state->fullText())
        return;
    m_state->setFullText(text);
    if (!text.isEmpty())
        announce(m_state);
}

QString WatchRuleEditor::describe(const SWatchRuleTexts& texts)
{
    QStringList parts;
    if (!texts.reg.trimmed().isEmpty()) {
        parts << (texts.regWidth == 1
                      ? tr("register %1").arg(texts.reg.trimmed())
                      : tr("register %1 (%2 bytes)").arg(texts.reg.trimmed()).arg(texts.regWidth));
    }
    const SDecodingTexts& d = texts.decoding;
    parts << ValueFormatName(ParseValueFormat(d.format).value_or(EValueFormat::U16Be));
    if (!d.shift.trimmed().isEmpty() && d.shift.trimmed() != QLatin1String("0"))
        parts << tr("shift %1").arg(d.shift.trimmed());
    if (!d.mask.trimmed().isEmpty()) {
        parts << (d.maskSigned ? tr("mask %1 signed") : tr("mask %1")).arg(d.mask.trimmed());
    }
    if (!d.scale.trimmed().isEmpty())
        parts << tr("scale %1").arg(d.scale.trimmed());
    if (!d.offset.trimmed().isEmpty())
        parts << tr("offset %1").arg(d.offset.trimmed());
    if (!d.unit.trimmed().isEmpty())
        parts << tr("unit %1").arg(d.unit.trimmed());
    return parts.join(QStringLiteral(", "));
}

EValueFormat WatchRuleEditor::defaultFormat(int byteCount)
{
    switch (byteCount) {
    case 1:
        return EValueFormat::U8;
    case 2:
        return EValueFormat::U16Be;
    case 3:
        return EValueFormat::U24Be;
    default:
        return EValueFormat::U32Be;
    }
}
