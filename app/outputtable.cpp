#include "app/outputtable.h"

#include "transactions/hexlines.h"
#include "transactions/i2ctransaction.h"
#include "transactions/watch.h"

#include <QColor>
#include <QDateTime>
#include <QEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QStyle>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QtMath>

#include <algorithm>

namespace {

const QColor TABLE_COLOR_ERROR = QColor(244, 67, 54);

constexpr int ROLE_RAW_BYTES = Qt::UserRole;
// On the Type cell: when the row was added (ms since 1970) and the
// transaction's address text.
constexpr int ROLE_TIME = Qt::UserRole + 1;
constexpr int ROLE_ADDRESS = Qt::UserRole + 2;

constexpr int COLUMN_TYPE = 0;
constexpr int COLUMN_FLAGS = 1;
constexpr int COLUMN_DATA = 2;
// Bytes of data in one row of a saved CSV file.
constexpr qsizetype CSV_BYTES_PER_ROW = 8192;

} // namespace

OutputTable::OutputTable(QTableWidget* table, QObject* parent)
    : QObject(parent), m_table(table), m_viewport(table->viewport()),
      m_dataMetrics(QFontDatabase::systemFont(QFontDatabase::FixedFont).resolve(table->font()))
{
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->hide();
    // Rows are sized one by one as they are added (fitRow): a header in
    // resize-to-contents mode would measure every row on each append.
    // Hex lines stay whole; the table scrolls sideways to the widest.
    table->setWordWrap(false);
    table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    QHeaderView* header = table->horizontalHeader();
    for (int column : {COLUMN_TYPE, COLUMN_FLAGS, COLUMN_DATA})
        header->setSectionResizeMode(column, QHeaderView::Interactive);
    header->setStretchLastSection(false);
    for (int column : {COLUMN_TYPE, COLUMN_FLAGS})
        header->resizeSection(column, header->sectionSizeHint(column));

    connect(header, &QHeaderView::sectionResized, this, [this](int column) {
        if (column != COLUMN_DATA)
            fitDataColumn();
    });
    m_viewport->installEventFilter(this);
    fitDataColumn();
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
        item->setText(FormatHexLines(raw.toByteArray(), bytesPerLine, offsetDecimal));
        fitRowHeight(row);
    }
    // Lines may have got narrower as well as wider.
    m_widestData = 0;
    for (int row = 0; row < m_table->rowCount(); ++row)
        m_widestData = std::max(m_widestData, dataWidth(cellText(row, COLUMN_DATA)));
    fitDataColumn();
    m_table->setUpdatesEnabled(true);
}

void OutputTable::addRow(const QString& type, const QString& flags, const QString& data, bool error,
                         const QString& address)
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
        if (error) {
            item->setForeground(TABLE_COLOR_ERROR);
            // Said in words as well, for those who do not see the colour.
            item->setData(Qt::AccessibleDescriptionRole, tr("Error"));
        }
        m_table->setItem(row, column, item);
    }
    m_table->item(row, COLUMN_TYPE)->setData(ROLE_TIME, QDateTime::currentMSecsSinceEpoch());
    m_table->item(row, COLUMN_TYPE)->setData(ROLE_ADDRESS, address);
    fitRow(row);
    const int width = dataWidth(data);
    if (width > m_widestData) {
        m_widestData = width;
        fitDataColumn();
    }
    m_table->scrollToBottom();
}

void OutputTable::addRow(const QString& type, const QString& flags, const QByteArray& data,
                         bool error, const QString& address)
{
    addRow(type, flags, FormatHexLines(data, m_bytesPerLine, m_offsetDecimal), error, address);
    m_table->item(m_table->rowCount() - 1, COLUMN_DATA)->setData(ROLE_RAW_BYTES, data);
}

void OutputTable::clear()
{
    m_table->setRowCount(0);
    m_rowHeights.clear();
    m_widestData = 0;
    for (int column : {COLUMN_TYPE, COLUMN_FLAGS})
        m_table->horizontalHeader()->resizeSection(
            column, m_table->horizontalHeader()->sectionSizeHint(column));
    fitDataColumn();
}

int OutputTable::rowCount() const
{
    return m_table->rowCount();
}

QString OutputTable::csv() const
{
    QString text =
        CsvLine({QStringLiteral("time"), QStringLiteral("type"), QStringLiteral("address"),
                 QStringLiteral("status"), QStringLiteral("error"), QStringLiteral("data")}) +
        QLatin1Char('\n');
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem* type = m_table->item(row, COLUMN_TYPE);
        // The Flags cell reads "0x02" or "0x02  NACK": status, two spaces,
        // error.
        const QString flags = cellText(row, COLUMN_FLAGS);
        const qsizetype split = flags.indexOf(QLatin1String("  "));
        // A long read goes on in rows with the data alone, a whole number
        // of bytes each ("XX " a byte): no cell passes what spreadsheets
        // (32,767 characters) and Python's csv module (131,072) take.
        const QString data = dataOnOneLine(row);
        const qsizetype chunk = CSV_BYTES_PER_ROW * 3;
        for (qsizetype at = 0; at == 0 || at < data.size(); at += chunk) {
            const QString part = data.mid(at, chunk - 1);
            if (at > 0) {
                text += CsvLine({QString(), QString(), QString(), QString(), QString(), part});
            } else {
                text += CsvLine({
                    type ? FormatLocalIsoTimestamp(type->data(ROLE_TIME).toLongLong()) : QString(),
                    cellText(row, COLUMN_TYPE),
                    type ? type->data(ROLE_ADDRESS).toString() : QString(),
                    split < 0 ? flags : flags.left(split),
                    split < 0 ? QString() : flags.mid(split + 2),
                    part,
                });
            }
            text += QLatin1Char('\n');
        }
    }
    return text;
}

QString OutputTable::reportText() const
{
    QString text;
    for (int row = 0; row < m_table->rowCount(); ++row)
        text += report(row) + QLatin1Char('\n');
    return text;
}

QString OutputTable::shownData(int row) const
{
    return cellText(row, COLUMN_DATA);
}

QString OutputTable::dataOnOneLine(int row) const
{
    const QTableWidgetItem* item = m_table->item(row, COLUMN_DATA);
    if (item && item->data(ROLE_RAW_BYTES).isValid())
        return FormatHexLines(item->data(ROLE_RAW_BYTES).toByteArray(), 0, false);
    return cellText(row, COLUMN_DATA);
}

QString OutputTable::report(int row) const
{
    return ReportLine(cellText(row, COLUMN_TYPE), cellText(row, COLUMN_FLAGS), dataOnOneLine(row));
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

int OutputTable::dataWidth(const QString& text) const
{
    // The Data font is fixed pitch: the line with the most characters is the
    // widest, and its width depends on its length alone.
    qsizetype longestStart = 0;
    qsizetype longest = 0;
    for (qsizetype start = 0; start <= text.size();) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = text.size();
        if (end - start > longest) {
            longestStart = start;
            longest = end - start;
        }
        start = end + 1;
    }
    if (longest == 0)
        return 0;
    auto known = m_lineWidths.constFind(longest);
    if (known == m_lineWidths.constEnd()) {
        // As the item delegate lays out a cell: a text margin on either
        // side, and the grid line.
        const int margin =
            m_table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_table) + 1;
        const int width = qCeil(m_dataMetrics.horizontalAdvance(text.mid(longestStart, longest))) +
                          2 * margin + (m_table->showGrid() ? 1 : 0);
        known = m_lineWidths.insert(longest, width);
    }
    return *known;
}

void OutputTable::fitDataColumn()
{
    QHeaderView* header = m_table->horizontalHeader();
    const int free = m_table->viewport()->width() - header->sectionSize(COLUMN_TYPE) -
                     header->sectionSize(COLUMN_FLAGS);
    const int width = std::max({m_widestData, free, header->minimumSectionSize()});
    if (width != header->sectionSize(COLUMN_DATA))
        header->resizeSection(COLUMN_DATA, width);
}

bool OutputTable::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize && watched == m_viewport)
        fitDataColumn();
    return QObject::eventFilter(watched, event);
}
