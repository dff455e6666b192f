#pragma once

#include "tests/support/waits.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

class QWidget;

namespace testsupport {

// What a test saw of one modal dialog, message box or popup menu.
struct SDialogSeen {
    QString className;
    QString title;
    QString text;
};

// Answers modal dialogs, message boxes and popup menus that the code under
// test opens while the test waits in it (exec() runs a nested event loop, so
// the answer has to come from a timer). Answers are used in the order they
// were queued; everything answered is recorded in seen().
class CDialogAnswerer : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(QWidget* dialog)>;

    CDialogAnswerer();
    ~CDialogAnswerer() override;

    // Message boxes: press the button with this standard button role
    // (QMessageBox::Ok, Yes, No, Cancel...).
    void pressButton(int standardButton);
    // Any dialog: accept() or reject() it.
    void accept();
    void reject();
    // Input dialogs: enter the text and accept (or reject when cancel is set).
    void enterText(const QString& text, bool cancel = false);
    // File dialogs: pick the name filter when one is given, type the path
    // (made absolute) into the name field and accept. The dialog may still
    // be changing folders while this runs, so the path is typed whole
    // rather than selected; a dialog that would take another path fails
    // the test and is rejected.
    void chooseFile(const QString& path, const QString& nameFilter = QString());
    // Popup menus: trigger the entry with this text; an empty text closes
    // the menu without a choice. The entries and their enabled states are
    // recorded in menuEntries().
    void chooseMenuEntry(const QString& text);
    // Anything else: run the handler on the dialog; it must close it.
    void handleWith(Handler handler);
    // Runs the action when the dialog of the answer queued last shows, before
    // that answer: for what happens while a dialog is open.
    void runFirst(std::function<void()> action);

    const QList<SDialogSeen>& seen() const { return m_seen; }
    // Entries of the last answered menu as "text" or "text (disabled)";
    // separators are left out.
    const QStringList& menuEntries() const { return m_menuEntries; }
    int pending() const { return static_cast<int>(m_answers.size()); }
    // Waits until every queued answer was used; false on timeout.
    bool waitDone(int timeoutMs = WAIT_MS);

private:
    void poll();
    void record(QWidget* dialog);

    QTimer m_timer;
    std::deque<Handler> m_answers;
    QList<SDialogSeen> m_seen;
    QStringList m_menuEntries;
    QPointer<QWidget> m_lastHandled;
};

} // namespace testsupport
