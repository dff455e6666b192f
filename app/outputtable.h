#pragma once

#include <QFontMetricsF>
#include <QHash>
#include <QObject>

class QByteArray;
class QEvent;
class QString;
class QTableWidget;
class QWidget;

// The rows of the output table: one per transaction, with Type, Flags and
// Data cells. Rows made from bytes keep the raw bytes, so that a new hex
// format re-formats them and copies can take all bytes on one line.
class OutputTable : public QObject {
    Q_OBJECT

public:
    // Sets up the form's table; it stays owned by the form.
    OutputTable(QTableWidget* table, QObject* parent);

    // The hex format of byte rows; existing byte rows are re-formatted.
    void setHexFormat(int bytesPerLine, bool offsetDecimal);

    // A row at the time of adding; address is the address text of the
    // transaction, empty when it had none (kept for saving).
    void addRow(const QString& type, const QString& flags, const QString& data, bool error,
                const QString& address = QString());
    void addRow(const QString& type, const QString& flags, const QByteArray& data, bool error,
                const QString& address = QString());
    void clear();
    int rowCount() const;

    // Row texts for the clipboard: the Data cell as shown, the row's bytes
    // on one line (the shown text for rows without bytes), and Type, Flags
    // and the bytes on one line separated by tabs.
    QString shownData(int row) const;
    QString dataOnOneLine(int row) const;
    QString report(int row) const;

    // Every row for a file: CSV with a header line (time, type, address,
    // status, error, data), or the "Copy Report" lines. Each line ends with
    // a line feed.
    QString csv() const;
    QString reportText() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString cellText(int row, int column) const;
    // Keeps the row as tall as its text and the first two columns as wide
    // as the widest text seen, without measuring any other row.
    void fitRow(int row);
    void fitRowHeight(int row);
    // Width the Data column needs to show every line of the text whole.
    int dataWidth(const QString& text) const;
    // The Data column fills the view, or grows past it to the widest line.
    void fitDataColumn();

    QTableWidget* m_table;
    // Kept apart: events reach the filter while the table is being destroyed,
    // when it may no longer be asked for its viewport.
    QWidget* m_viewport;
    int m_bytesPerLine = 16;
    bool m_offsetDecimal = false;
    QHash<int, int> m_rowHeights; // line count -> row height
    QFontMetricsF m_dataMetrics;
    mutable QHash<qsizetype, int> m_lineWidths; // characters -> Data column width
    int m_widestData = 0;
};
