#include "app/outputtable.h"

#include "app/mainwindow.h"

#include <QColor>
#include <QFontDatabase>
#include <QHeaderView>
#include <QTableWidget>
#include <QTableWidgetItem>

namespace {

const QColor TABLE_COLOR_ERROR = QColor(244, 67, 54);

constexpr int ROLE_RAW_BYTES = Qt::UserRole;

constexpr int COLUMN_TYPE = 0;
constexpr int COLUMN_FLAGS = 1;
constexpr int COLUMN_DATA = 2;

} // namespace

OutputTable::OutputTable(QTableWidget* table, QObject* parent) : QObject(parent), m_table(table)
{
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->hide();
    // Rows are sized one by one as they are added (fitRow): a header in
    // resize-to-contents mode would measure every row on each append.
    table->setWordWrap(false);
    table->horizontalHeader()->setSectionResizeMode(COLUMN_TYPE, QHeaderView::Interactive);
    table->horizontalHeader()->setSectionResizeMode(COLUMN_FLAGS, QHeaderView::Interactive);
    table->horizontalHeader()->setStretchLastSection(true);
    for (int column : {COLUMN_TYPE, COLUMN_FLAGS})
        table->horizontalHeader()->resizeSection(
            column, table->horizontalHeader()->sectionSizeHint(column));
}

void OutputTable::setHexFormat(int bytesPerLine, bool offsetDecimal)
{
    m_bytesPerLine = bytesPerLine;
    m_offsetDecimal = offsetDecimal;

    m_table->setUpdatesEnabled(false);
    for (int row = 0; row < m_table->rowCount(); ++row) {
        QTableWidgetItem* item = m_table->item(row, COLUMN_DATA);
        if (!item)
            continue;
        const QVariant raw = item->data(ROLE_RAW_BYTES);
        if (!raw.isValid())
            continue;
        item->setText(MainWindow::formatHexLines(raw.toByteArray(), bytesPerLine, offsetDecimal));
        fitRowHeight(row);
    }
    m_table->setUpdatesEnabled(true);
}

void OutputTable::addRow(const QString& type, const QString& flags, const QString& data, bool error)
{
    const int row = m_table->rowCount();
    m_table->insertRow(row);

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QString texts[] = {type, flags, data};
    for (int column = 0; column < 3; ++column) {
        auto* item = new QTableWidgetItem(texts[column]);
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        item->setTextAlignment(Qt::AlignTop | Qt::AlignLeft);
        if (column != COLUMN_TYPE)
            item->setFont(fixed);
        if (error)
            item->setForeground(TABLE_COLOR_ERROR);
        m_table->setItem(row, column, item);
    }
    fitRow(row);
    m_table->scrollToBottom();
}

void OutputTable::addRow(const QString& type, const QString& flags, const QByteArray& data,
                         bool error)
{
    addRow(type, flags, MainWindow::formatHexLines(data, m_bytesPerLine, m_offsetDecimal), error);
    m_table->item(m_table->rowCount() - 1, COLUMN_DATA)->setData(ROLE_RAW_BYTES, data);
}

void OutputTable::clear()
{
    m_table->setRowCount(0);
    m_rowHeights.clear();
    for (int column : {COLUMN_TYPE, COLUMN_FLAGS})
        m_table->horizontalHeader()->resizeSection(
            column, m_table->horizontalHeader()->sectionSizeHint(column));
}

QString OutputTable::shownData(int row) const
{
    return cellText(row, COLUMN_DATA);
}

QString OutputTable::dataOnOneLine(int row) const
{
    const QTableWidgetItem* item = m_table->item(row, COLUMN_DATA);
    if (item && item->data(ROLE_RAW_BYTES).isValid())
        return MainWindow::formatHexLines(item->data(ROLE_RAW_BYTES).toByteArray(), 0, false);
    return cellText(row, COLUMN_DATA);
}

QString OutputTable::report(int row) const
{
    return cellText(row, COLUMN_TYPE) + QLatin1Char('\t') + cellText(row, COLUMN_FLAGS) +
           QLatin1Char('\t') + dataOnOneLine(row);
}

QString OutputTable::cellText(int row, int column) const
{
    const QTableWidgetItem* item = m_table->item(row, column);
    return item ? item->text() : QString();
}

void OutputTable::fitRow(int row)
{
    fitRowHeight(row);
    QHeaderView* header = m_table->horizontalHeader();
    for (int column : {COLUMN_TYPE, COLUMN_FLAGS}) {
        // As the table measures a column: the cell plus its grid line.
        const int width = m_table->sizeHintForIndex(m_table->model()->index(row, column)).width() +
                          (m_table->showGrid() ? 1 : 0);
        if (width > header->sectionSize(column))
            header->resizeSection(column, width);
    }
}

void OutputTable::fitRowHeight(int row)
{
    // Every row has the same fonts and a one-line Type and Flags cell, and
    // nothing wraps, so a row's height depends only on its number of lines:
    // measure each line count once.
    const QTableWidgetItem* data = m_table->item(row, COLUMN_DATA);
    const int lines = data ? static_cast<int>(data->text().count(QLatin1Char('\n'))) + 1 : 1;
    const auto known = m_rowHeights.constFind(lines);
    if (known != m_rowHeights.constEnd()) {
        m_table->setRowHeight(row, *known);
        return;
    }
    m_table->resizeRowToContents(row);
    m_rowHeights.insert(lines, m_table->rowHeight(row));
}
