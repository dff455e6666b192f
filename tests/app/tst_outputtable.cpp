#include "app/outputtable.h"
#include "apptesthelpers.h"
#include "tests/support/waits.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QHeaderView>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>

#include <numeric>

using apptest::cell;

namespace {

std::vector<uint8_t> counting(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

QString hexRun(int count)
{
    QStringList bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(QStringLiteral("%1").arg(i & 0xFF, 2, 16, QLatin1Char('0')).toUpper());
    return bytes.join(' ');
}

} // namespace

class TstOutputTable : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init() { apptest::resetAll(); }

    void formatHexLines_data();
    void formatHexLines();
    void rowsLookAndHeight();
    void longRowsCanBeScrolledIntoView_data();
    void longRowsCanBeScrolledIntoView();
    void dataColumnFillsViewAfterNarrowing();
    void rewrapSurvivesRestartAndSparesTextRows();
    void copyForms_data();
    void copyForms();
    void copyWithoutSelectionDoesNothing();
    void contextMenuEnablesEntries();
    void clearOutput();
    void longDataGoesOnInRowsOfItsOwn_data();
    void longDataGoesOnInRowsOfItsOwn();
};

void TstOutputTable::formatHexLines_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("perLine");
    QTest::addColumn<bool>("decimal");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << 0 << 16 << false << QString();
    QTest::newRow("20 at 8, hex") << 20 << 8 << false
                                  << QStringLiteral("00: 00 01 02 03 04 05 06 07\n"
                                                    "08: 08 09 0A 0B 0C 0D 0E 0F\n"
                                                    "10: 10 11 12 13");
    QTest::newRow("20 at 8, dec") << 20 << 8 << true
                                  << QStringLiteral("00: 00 01 02 03 04 05 06 07\n"
                                                    "08: 08 09 0A 0B 0C 0D 0E 0F\n"
                                                    "16: 10 11 12 13");
    QTest::newRow("8 at 16 fits") << 8 << 16 << false << QStringLiteral("00 01 02 03 04 05 06 07");
    QTest::newRow("exactly one line, dec") << 4 << 4 << true << QStringLiteral("00 01 02 03");
    QTest::newRow("full") << 300 << 0 << true << hexRun(300);
    QTest::newRow("5 at 2, dec width 1")
        << 5 << 2 << true << QStringLiteral("0: 00 01\n2: 02 03\n4: 04");
}

void TstOutputTable::formatHexLines()
{
    QFETCH(int, count);
    QFETCH(int, perLine);
    QFETCH(bool, decimal);
    QFETCH(QString, expected);

    const std::vector<uint8_t> bytes = counting(static_cast<size_t>(count));
    const QByteArray data(reinterpret_cast<const char*>(bytes.data()), count);
    QCOMPARE(MainWindow::formatHexLines(data, perLine, decimal), expected);
}

void TstOutputTable::rowsLookAndHeight()
{
    // Offset widths follow the last line's offset: 300 bytes need four hex
    // digits, 256 bytes stay at two, 4,096 lines of a 64 KiB read four.
    const auto lines = [](size_t count, int perLine, bool decimal) {
        const std::vector<uint8_t> bytes = counting(count);
        const QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                              static_cast<qsizetype>(count));
        return MainWindow::formatHexLines(data, perLine, decimal).split('\n');
    };
    QCOMPARE(lines(300, 16, false).first().left(6), QStringLiteral("0000: "));
    QCOMPARE(lines(300, 16, false).last(),
             QStringLiteral("0120: 20 21 22 23 24 25 26 27 28 29 2A 2B"));
    QCOMPARE(lines(256, 16, false).last().left(4), QStringLiteral("F0: "));
    QCOMPARE(lines(65535, 16, false).last().left(6), QStringLiteral("FFF0: "));
    QCOMPARE(lines(65535, 16, true).last().left(7), QStringLiteral("65520: "));
    QCOMPARE(lines(1000, 16, true).first().left(5), QStringLiteral("000: "));

    MainWindow window;
    window.show();
    MainWindowProbe probe(window);
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x02"), counting(2), false);
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x80  NACK received"),
                      counting(64), true);
    probe.addTableRow(QStringLiteral("Read 0x51"), QStringLiteral("0x00"), std::vector<uint8_t>{},
                      false);
    QTableWidget* table = probe.ui()->table_data;
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(cell(window, 2, 2), QString());
    QVERIFY2(table->rowHeight(1) > 3 * table->rowHeight(0),
             "four lines make a taller row than one");
    QCOMPARE(table->item(1, 0)->foreground().color(), QColor(0xF4, 0x43, 0x36));
    QVERIFY(!(table->item(0, 2)->flags() & Qt::ItemIsEditable));
    QCOMPARE(table->item(0, 2)->textAlignment(), int(Qt::AlignTop | Qt::AlignLeft));
    QVERIFY(table->item(0, 1)->font().fixedPitch() ||
            table->item(0, 1)->font() == QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // The Flags column grew to hold its widest text.
    QVERIFY(table->horizontalHeader()->sectionSize(1) >=
            table->sizeHintForIndex(table->model()->index(1, 1)).width());
}

void TstOutputTable::longRowsCanBeScrolledIntoView_data()
{
    QTest::addColumn<int>("count"); // -1: a text row
    QTest::addColumn<QString>("perLine");
    QTest::addColumn<QString>("rewrapTo"); // empty: no re-format

    QTest::newRow("100 at 32") << 100 << "32" << QString();
    QTest::newRow("100 in full") << 100 << "Full" << QString();
    QTest::newRow("re-wrapped to full") << 100 << "16"
                                        << "Full";
    QTest::newRow("64 KiB at 16") << 65535 << "16" << QString();
    QTest::newRow("long search row") << -1 << "16" << QString();
}

void TstOutputTable::longRowsCanBeScrolledIntoView()
{
    QFETCH(int, count);
    QFETCH(QString, perLine);
    QFETCH(QString, rewrapTo);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, testsupport::WAIT_MS));
    MainWindowProbe probe(window);
    QTableWidget* table = probe.ui()->table_data;
    probe.ui()->cmb_bytes_per_line->setCurrentText(perLine);
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x00"), counting(2), false);
    if (count < 0) {
        QStringList found;
        for (int address = 0x08; address <= 0x77; ++address)
            found.append(QStringLiteral("0x%1").arg(address, 2, 16, QLatin1Char('0')));
        probe.addTableRow(QStringLiteral("Search"), QString(), found.join(", "), false);
    } else {
        probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x00"),
                          counting(static_cast<size_t>(count)), false);
    }
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x00"), counting(2), false);
    if (!rewrapTo.isEmpty())
        probe.ui()->cmb_bytes_per_line->setCurrentText(rewrapTo);

    // Nothing is cut off: the cell is as wide as its widest line, grid line
    // included, and its far corner scrolls into the viewport.
    const QModelIndex index = table->model()->index(1, 2);
    QVERIFY(table->columnWidth(2) >=
            table->sizeHintForIndex(index).width() + (table->showGrid() ? 1 : 0));
    const auto cornerInView = [table, index] {
        table->horizontalScrollBar()->setValue(table->horizontalScrollBar()->maximum());
        table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum());
        const QRect cell = table->visualRect(index);
        return table->viewport()->rect().contains(cell.right(), cell.bottom());
    };
    PELLAN_TRY_VERIFY(cornerInView());
}

void TstOutputTable::dataColumnFillsViewAfterNarrowing()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, testsupport::WAIT_MS));
    MainWindowProbe probe(window);
    QTableWidget* table = probe.ui()->table_data;
    const auto columnsWidth = [table] {
        return table->columnWidth(0) + table->columnWidth(1) + table->columnWidth(2);
    };
    probe.ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("Full"));
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x00"), counting(256), false);
    QVERIFY(columnsWidth() > table->viewport()->width());

    probe.ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("4"));
    QCOMPARE(columnsWidth(), table->viewport()->width());
    probe.ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("Full"));
    probe.ui()->actionTableClear->trigger();
    QCOMPARE(columnsWidth(), table->viewport()->width());
    window.resize(window.width() + 200, window.height());
    PELLAN_TRY_COMPARE(columnsWidth(), table->viewport()->width());
}

void TstOutputTable::rewrapSurvivesRestartAndSparesTextRows()
{
    {
        MainWindow window;
        MainWindowProbe probe(window);
        probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x14"), counting(20), false);
        probe.addTableRow(QStringLiteral("Search"), QString(), QStringLiteral("0x23, 0x50"), false);
        QCOMPARE(cell(window, 0, 2), "00: " + hexRun(16) + "\n10: 10 11 12 13");

        probe.ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("8"));
        QCOMPARE(cell(window, 0, 2).split('\n').size(), 3);
        probe.ui()->cmb_offset_format->setCurrentIndex(1);
        QVERIFY(cell(window, 0, 2).endsWith(QStringLiteral("16: 10 11 12 13")));
        QCOMPARE(cell(window, 1, 2), QStringLiteral("0x23, 0x50"));
    }
    MainWindow restarted;
    MainWindowProbe probe(restarted);
    QCOMPARE(probe.ui()->cmb_bytes_per_line->currentText(), QStringLiteral("8"));
    QCOMPARE(probe.ui()->cmb_offset_format->currentText(), QStringLiteral("Dec"));
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x14"), counting(20), false);
    QVERIFY(cell(restarted, 0, 2).endsWith(QStringLiteral("16: 10 11 12 13")));
}

void TstOutputTable::copyForms_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("expected");

    const QString wrapped = QStringLiteral("00: 00 01 02 03\n04: 04 05");
    QTest::newRow("Report") << int(MainWindow::ETableCopy::Report)
                            << QStringLiteral("Read 0x50\t0x06\t00 01 02 03 04 05\n"
                                              "Search\t\t0x23, 0x50");
    QTest::newRow("Data") << int(MainWindow::ETableCopy::Data)
                          << QStringLiteral("00 01 02 03 04 05\n0x23, 0x50");
    QTest::newRow("DataAsShown") << int(MainWindow::ETableCopy::DataAsShown)
                                 << wrapped + QStringLiteral("\n\n0x23, 0x50");
}

void TstOutputTable::copyForms()
{
    QFETCH(int, mode);
    QFETCH(QString, expected);

    MainWindow window;
    MainWindowProbe probe(window);
    probe.ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("4"));
    probe.addTableRow(QStringLiteral("Write 0x50"), QStringLiteral("0x01"), counting(1), false);
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x06"), counting(6), false);
    probe.addTableRow(QStringLiteral("Search"), QString(), QStringLiteral("0x23, 0x50"), false);

    // Rows selected bottom-up are copied top-down.
    QTableWidget* table = probe.ui()->table_data;
    table->selectionModel()->select(table->model()->index(2, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    table->selectionModel()->select(table->model()->index(1, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QList<QAction*> actions = {probe.ui()->actionCopyReport, probe.ui()->actionCopyData,
                                     probe.ui()->actionCopyDataAsShown};
    actions[mode]->trigger();
    QCOMPARE(QApplication::clipboard()->text(), expected);
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("2 row(s) copied"));
}

void TstOutputTable::longDataGoesOnInRowsOfItsOwn_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("rows");
    QTest::newRow("8,192 bytes: one row") << 8192 << 1;
    QTest::newRow("8,193 bytes: two") << 8193 << 2;
    QTest::newRow("65,535 bytes: eight") << 65535 << 8;
}

void TstOutputTable::longDataGoesOnInRowsOfItsOwn()
{
    QFETCH(int, count);
    QFETCH(int, rows);

    MainWindow window;
    MainWindowProbe probe(window);
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x02"),
                      counting(static_cast<size_t>(count)), false);
    QStringList lines = window.findChild<OutputTable*>()->csv().split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.size(), 1 + rows);
    QString data;
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList fields = lines.at(i).split(QLatin1Char(','));
        QCOMPARE(fields.size(), 6);
        // A spreadsheet's cell takes 32,767 characters.
        QVERIFY(fields.last().size() <= 32767);
        QCOMPARE(fields.first().isEmpty(), i > 1);
        data += (i > 1 ? QStringLiteral(" ") : QString()) + fields.last();
    }
    QCOMPARE(data, hexRun(count));
}

void TstOutputTable::copyWithoutSelectionDoesNothing()
{
    MainWindow window;
    MainWindowProbe probe(window);
    probe.addTableRow(QStringLiteral("Search"), QString(), QStringLiteral("x"), false);
    QApplication::clipboard()->setText(QStringLiteral("untouched"));
    probe.ui()->actionCopyReport->trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("untouched"));
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
}

void TstOutputTable::contextMenuEnablesEntries()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, testsupport::WAIT_MS));
    MainWindowProbe probe(window);
    QTableWidget* table = probe.ui()->table_data;

    testsupport::CDialogAnswerer answerer;
    answerer.chooseMenuEntry(QString());
    emit table->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.menuEntries(), QStringList({"Copy Report (disabled)", "Copy Data (disabled)",
                                                  "Copy Data as Shown (disabled)", "Save Output...",
                                                  "Clear Output (disabled)"}));
    QVERIFY(probe.ui()->actionTableClear->isEnabled()); // the tool bar keeps it

    probe.addTableRow(QStringLiteral("Search"), QString(), QStringLiteral("x"), false);
    answerer.chooseMenuEntry(QString());
    emit table->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.menuEntries(),
             QStringList({"Copy Report (disabled)", "Copy Data (disabled)",
                          "Copy Data as Shown (disabled)", "Save Output...", "Clear Output"}));

    table->selectRow(0);
    answerer.chooseMenuEntry(QStringLiteral("Copy Data"));
    emit table->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.menuEntries().first(), QStringLiteral("Copy Report"));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("x"));
}

void TstOutputTable::clearOutput()
{
    MainWindow window;
    MainWindowProbe probe(window);
    probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x01"), counting(1), false);
    probe.ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("2"));
    probe.ui()->actionTableClear->trigger();
    QCOMPARE(probe.ui()->table_data->rowCount(), 0);
    QCOMPARE(probe.ui()->cmb_bytes_per_line->currentText(), QStringLiteral("2"));
}

QTEST_MAIN(TstOutputTable)
#include "tst_outputtable.moc"
