#pragma once

#include "projects/projectspanel.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdint>
#include <optional>

namespace testsupport {

// Starts the program's settings afresh, under its organization and
// application names, with the folder as the projects folder and the example
// counted as installed, so that a panel shows the folder as it is.
inline void startProjectsSettings(const QString& folder)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QCoreApplication::setApplicationName(QStringLiteral("pellan_i2c"));
    QSettings settings;
    settings.clear();
    settings.setValue(QStringLiteral("projects/folder"), folder);
    settings.setValue(QStringLiteral("projects/examplesInstalled"), true);
}

// The projects dock of the main window for tests and benchmarks: the six
// widgets in a small window and the panel over them, which loads the folder
// of the settings. The address callbacks follow eightBit and addressText as
// the main window's follow its address format and address field.
class CProjectsDock {
public:
    CProjectsDock()
    {
        auto* buttons = new QHBoxLayout;
        for (QToolButton* button : {newButton, reloadButton, folderButton})
            buttons->addWidget(button);
        auto* layout = new QVBoxLayout(&host);
        layout->addLayout(buttons);
        layout->addWidget(filterEdit);
        layout->addWidget(tree);
        layout->addWidget(descriptionLabel);
        panel = new CProjectsPanel(
            {tree, filterEdit, descriptionLabel, newButton, reloadButton, folderButton},
            [this](uint8_t address) { return formatHex(address, eightBit); },
            [this](const QString& text) { return parseHex(text, eightBit); },
            [this] { return parseHex(addressText, eightBit); }, &host);
        host.resize(420, 640);
        host.show();
    }

    // The address format and the text typed in the address field.
    bool eightBit = false;
    QString addressText;

    QWidget host;
    QTreeView* tree = new QTreeView(&host);
    QLineEdit* filterEdit = new QLineEdit(&host);
    QLabel* descriptionLabel = new QLabel(&host);
    QToolButton* newButton = new QToolButton(&host);
    QToolButton* reloadButton = new QToolButton(&host);
    QToolButton* folderButton = new QToolButton(&host);
    CProjectsPanel* panel = nullptr;

    QAbstractItemModel* model() const { return tree->model(); }

    // One column of the rows below the parent; at the top, device names and
    // then failed files.
    QStringList texts(const QModelIndex& parent = {}, int column = 0,
                      int role = Qt::DisplayRole) const
    {
        QStringList result;
        for (int row = 0; row < model()->rowCount(parent); ++row)
            result.append(model()->index(row, column, parent).data(role).toString());
        return result;
    }

    // The middle of the row, scrolled into view (and its device expanded);
    // for the invalid index, the empty space below the rows.
    QPoint pointOf(const QModelIndex& index) const
    {
        if (!index.isValid())
            return {tree->viewport()->width() / 2, tree->viewport()->height() - 4};
        tree->scrollTo(index);
        return tree->visualRect(index).center();
    }

    // Opens the context menu over the row (the invalid index: empty space);
    // the answerer must hold the menu's answer before the answers of what
    // follows.
    void openMenu(const QModelIndex& index)
    {
        emit tree->customContextMenuRequested(pointOf(index));
    }

private:
    // 7-bit or 8-bit address texts, "0x" and two upper-case hex digits, as
    // the main window writes and reads them.
    static QString formatHex(uint8_t address, bool eightBit)
    {
        const int value = eightBit ? address << 1 : address;
        return QStringLiteral("0x") +
               QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
    }

    static std::optional<uint8_t> parseHex(const QString& text, bool eightBit)
    {
        const QString trimmed = text.trimmed();
        if (!trimmed.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive))
            return std::nullopt;
        bool ok = false;
        const uint value = trimmed.mid(2).toUInt(&ok, 16);
        if (!ok || value > (eightBit ? 0xFEu : 0x7Fu) || (eightBit && value % 2))
            return std::nullopt;
        return uint8_t(eightBit ? value >> 1 : value);
    }
};

} // namespace testsupport
