#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class QDialogButtonBox;
class QLineEdit;
class QPlainTextEdit;

// The form for a device's name, I2C address and description. It refuses an
// empty name, a name the caller reports as taken and an address the caller's
// parser rejects, and stays open until the input is valid or cancelled.
class ProjectDeviceDialog : public QDialog {
    Q_OBJECT

public:
    // Gives the address of a text in the caller's display format, or nothing.
    using AddressParser = std::function<std::optional<uint8_t>(const QString& text)>;
    // True when another device already uses the name.
    using NameCheck = std::function<bool(const QString& name)>;

    // The parser is required; the name check may be empty.
    ProjectDeviceDialog(const QString& title, AddressParser parseAddress, NameCheck isNameTaken,
                        QWidget* parent = nullptr);
    ~ProjectDeviceDialog() override;

    // Puts the texts into the fields unchanged.
    void setValues(const QString& name, const QString& address, const QString& description);

    // The name, trimmed.
    QString name() const;
    // The address parsed on acceptance; 0 before.
    uint8_t address() const { return m_address; }
    // The description, trimmed of surrounding white space.
    QString description() const;
    // Whether the user changed the description. The field makes its own
    // line ends of the text it was given ("\r\n" becomes "\n"), so its
    // text is compared with what it showed, not with what it was given.
    bool isDescriptionEdited() const;

private slots:
    void onAccept();

private:
    void warn(const QString& text);

    AddressParser m_parseAddress;
    NameCheck m_isNameTaken;
    QLineEdit* m_nameEdit = nullptr;
    QLineEdit* m_addressEdit = nullptr;
    QPlainTextEdit* m_descriptionEdit = nullptr;
    QString m_shownDescription;
    QDialogButtonBox* m_buttons = nullptr;
    uint8_t m_address = 0;
};
