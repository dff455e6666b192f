#include "tests/support/dialoganswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QTest>

namespace testsupport {

namespace {

// A menu entry as the user reads it: without its mnemonic marks.
QString shownText(const QAction* action)
{
    QString text;
    const QString marked = action->text();
    for (qsizetype i = 0; i < marked.size(); ++i) {
        if (marked[i] == QLatin1Char('&') && ++i == marked.size())
            break;
        text += marked[i];
    }
    return text;
}

} // namespace

CDialogAnswerer::CDialogAnswerer()
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &CDialogAnswerer::poll);
    m_timer.start();
}

CDialogAnswerer::~CDialogAnswerer() = default;

void CDialogAnswerer::pressButton(int standardButton)
{
    m_answers.push_back([standardButton](QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            if (QAbstractButton* button =
                    box->button(static_cast<QMessageBox::StandardButton>(standardButton))) {
                button->click();
                return;
            }
        }
        if (auto* plain = qobject_cast<QDialog*>(dialog))
            plain->reject();
    });
}

void CDialogAnswerer::accept()
{
    m_answers.push_back([](QWidget* dialog) {
        if (auto* plain = qobject_cast<QDialog*>(dialog))
            plain->accept();
    });
}

void CDialogAnswerer::reject()
{
    m_answers.push_back([](QWidget* dialog) {
        if (auto* plain = qobject_cast<QDialog*>(dialog))
            plain->reject();
    });
}

void CDialogAnswerer::enterText(const QString& text, bool cancel)
{
    m_answers.push_back([text, cancel](QWidget* dialog) {
        auto* input = qobject_cast<QInputDialog*>(dialog);
        if (!input) {
            if (auto* plain = qobject_cast<QDialog*>(dialog))
                plain->reject();
            return;
        }
        input->setTextValue(text);
        if (cancel)
            input->reject();
        else
            input->accept();
    });
}

void CDialogAnswerer::chooseFile(const QString& path, const QString& nameFilter)
{
    m_answers.push_back([path, nameFilter](QWidget* dialog) {
        auto* chooser = qobject_cast<QFileDialog*>(dialog);
        auto* name =
            chooser ? chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
        if (!name) {
            QTest::qFail("a file dialog was expected", __FILE__, __LINE__);
            if (auto* plain = qobject_cast<QDialog*>(dialog))
                plain->reject();
            return;
        }
        if (!nameFilter.isEmpty())
            chooser->selectNameFilter(nameFilter);
        // A file selected in the list would win over the typed name.
        if (auto* list = chooser->findChild<QListView*>(QStringLiteral("listView")))
            list->clearSelection();
        const QString absolute = QFileInfo(path).absoluteFilePath();
        name->setText(absolute);
        const QStringList selected = chooser->selectedFiles();
        if (selected.isEmpty() || QFileInfo(selected.first()).absoluteFilePath() != absolute) {
            QTest::qFail(qPrintable(QStringLiteral("the file dialog would take \"%1\", not \"%2\"")
                                        .arg(selected.value(0), absolute)),
                         __FILE__, __LINE__);
            static_cast<QDialog*>(chooser)->reject();
            return;
        }
        static_cast<QDialog*>(chooser)->accept();
    });
}

void CDialogAnswerer::chooseMenuEntry(const QString& text)
{
    m_answers.push_back([text](QWidget* widget) {
        auto* menu = qobject_cast<QMenu*>(widget);
        if (!menu) {
            if (auto* plain = qobject_cast<QDialog*>(widget))
                plain->reject();
            return;
        }
        for (QAction* action : menu->actions()) {
            if (!text.isEmpty() && shownText(action) == text && action->isEnabled()) {
                menu->setActiveAction(action);
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
        }
        menu->close();
    });
}

void CDialogAnswerer::handleWith(Handler handler)
{
    m_answers.push_back(std::move(handler));
}

void CDialogAnswerer::runFirst(std::function<void()> action)
{
    if (m_answers.empty())
        return;
    Handler answer = std::move(m_answers.back());
    m_answers.back() = [action = std::move(action), answer = std::move(answer)](QWidget* dialog) {
        action();
        answer(dialog);
    };
}

bool CDialogAnswerer::waitDone(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_answers.empty(); }, timeoutMs);
}

void CDialogAnswerer::record(QWidget* dialog)
{
    SDialogSeen seen;
    seen.className = QString::fromLatin1(dialog->metaObject()->className());
    seen.title = dialog->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        seen.text = box->text();
    } else if (auto* input = qobject_cast<QInputDialog*>(dialog)) {
        seen.text = input->labelText();
    } else if (auto* menu = qobject_cast<QMenu*>(dialog)) {
        m_menuEntries.clear();
        for (QAction* action : menu->actions()) {
            if (action->isSeparator())
                continue;
            m_menuEntries.append(action->isEnabled()
                                     ? shownText(action)
                                     : shownText(action) + QStringLiteral(" (disabled)"));
        }
        seen.text = m_menuEntries.join(QLatin1Char('\n'));
    }
    m_seen.append(seen);
}

void CDialogAnswerer::poll()
{
    if (m_answers.empty())
        return;
    QWidget* dialog = QApplication::activePopupWidget();
    if (!dialog)
        dialog = QApplication::activeModalWidget();
    if (!dialog || !dialog->isVisible() || dialog == m_lastHandled)
        return;

    m_lastHandled = dialog;
    record(dialog);
    Handler handler = std::move(m_answers.front());
    m_answers.pop_front();
    handler(dialog);
}

} // namespace testsupport
