#pragma once

#include <QDialog>

class QString;

// The modal About box: name, version and maker, the maker's contact links
// and the third-party components with their licence files.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

public slots:
    // Opens the named licence file from beside the program (build tree) or
    // from the documentation tree of an installation; warns when it is in
    // neither or cannot be opened.
    void openLicenseFile(const QString& name);
    // Opens a web or mail link with the desktop's default application;
    // warns when that fails.
    void openExternalLink(const QString& link);

private:
    void showWarning(const QString& text);
};
