#pragma once

#include <QLabel>

// A plain-text label that never widens its window: a line too long for the
// room it gets ends in "…", and the whole text is then its tool tip; it is
// always its accessible name (so a screen reader says all of it, and each new one) and
// its accessible description unless it has one of its own. Its size hints
// ask for a few characters' width only; the layout gives it whatever room
// is left.
class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    // Lines are separated by "\n"; each is cut on its own.
    void setFullText(const QString& text);
    QString fullText() const { return m_fullText; }
    // A description of its own, e.g. "Latest value", instead of the text.
    void setDescription(const QString& description);
    // Room kept for this many lines, however few the text has: a label
    // that fills later moves nothing below it.
    void setMinimumLines(int lines);
    // Whether some line is cut now.
    bool isElided() const { return text() != m_fullText; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void updateShown();

    QString m_fullText;
    QString m_description;
    int m_minimumLines = 1;
};
