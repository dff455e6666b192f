#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

// Where a save goes: the path, with its suffix, and the index of the name
// filter whose suffix it has (or that was chosen, for another suffix).
struct SSavePath {
    QString path;
    int filter = 0;
};

// The one rule of every save dialog: a suffix typed with the name wins
// (and picks the filter of that suffix when there is one); a name without
// one takes the chosen filter's (a trailing dot is not a suffix); a file
// that is there already is replaced only after the user agreed, whatever
// name the program completed, else the dialog comes back. Filters are
// "Name (*.suffix)". Nothing when the user cancelled.
std::optional<SSavePath> askSavePath(QWidget* parent, const QString& title,
                                     const QString& proposedPath, const QStringList& filters,
                                     int initialFilter = 0);

// The completion of that rule alone: the path as the dialog gave it, the
// filter chosen in it.
SSavePath completeSavePath(const QString& chosen, const QStringList& filters, int filter);
