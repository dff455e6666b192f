#include "projects/projectdevicedialog.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace {

constexpr int MIN_WIDTH = 360;
constexpr int DESCRIPTION_LINES = 4;

} // namespace

ProjectDeviceDialog::ProjectDeviceDialog(const QString& title, AddressParser parseAddress,
                                         NameCheck isNameTaken, QWidget* parent)
    : QDialog(parent), m_parseAddress(std::move(parseAddress)),
      m_isNameTaken(std::move(isNameTaken)), m_nameEdit(new QLineEdit(this)),
      m_addressEdit(new QLineEdit(this)), m_descriptionEdit(new QPlainTextEdit(this)),
      m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this))
{
    setWindowTitle(title);
    setMinimumWidth(MIN_WIDTH);

    m_nameEdit->setPlaceholderText(tr("e.g. BH1750"));
    m_addressEdit->setPlaceholderText(QStringLiteral("0x23"));
    m_descriptionEdit->setPlaceholderText(tr("Optional, e.g. wiring or address pins"));
    // A description is a few lines of notes; Tab keeps moving through the form.
    m_descriptionEdit->setTabChangesFocus(true);
    m_descriptionEdit->setFixedHeight(QFontMetrics(m_descriptionEdit->font()).lineSpacing() *
                                      DESCRIPTION_LINES);

    auto* form = new QFormLayout;
    form->addRow(tr("Name"), m_nameEdit);
    form->addRow(tr("Address"), m_addressEdit);
    form->addRow(tr("Description"), m_descriptionEdit);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_buttons);

    connect(m_buttons, &QDialogButtonBox::accepted, this, &ProjectDeviceDialog::onAccept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

ProjectDeviceDialog::~ProjectDeviceDialog() = default;

void ProjectDeviceDialog::setValues(const QString& name, const QString& address,
                                    const QString& description)
{
    m_nameEdit->setText(name);
    m_addressEdit->setText(address);
    m_descriptionEdit->setPlainText(description);
    m_shownDescription = m_descriptionEdit->toPlainText();
}

bool ProjectDeviceDialog::isDescriptionEdited() const
{
    return m_descriptionEdit->toPlainText().trimmed() != m_shownDescription.trimmed();
}

QString ProjectDeviceDialog::name() const
{
    return m_nameEdit->text().trimmed();
}

QString ProjectDeviceDialog::description() const
{
    return m_descriptionEdit->toPlainText().trimmed();
}

void ProjectDeviceDialog::onAccept()
{
    const QString trimmedName = name();
    if (trimmedName.isEmpty()) {
        warn(tr("Please enter a name."));
        m_nameEdit->setFocus();
        return;
    }
    if (m_isNameTaken && m_isNameTaken(trimmedName)) {
        warn(tr("A device named \"%1\" already exists.").arg(trimmedName));
        m_nameEdit->setFocus();
        m_nameEdit->selectAll();
        return;
    }
    // Untrimmed: the parser knows the caller's format and its white space.
    const std::optional<uint8_t> parsed = m_parseAddress(m_addressEdit->text());
    if (!parsed) {
        warn(tr("Invalid I2C address."));
        m_addressEdit->setFocus();
        return;
    }
    m_address = *parsed;
    accept();
}

// Names come from files anyone may have edited: shown as text, never markup.
void ProjectDeviceDialog::warn(const QString& text)
{
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
