#include "app/elidedlabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QStringList>

namespace {

// The width asked for, in average characters: what a short value or status
// needs, never what a long one would.
constexpr int HINT_CHARACTERS = 12;
constexpr int MINIMUM_CHARACTERS = 4;

} // namespace

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

void ElidedLabel::setFullText(const QString& text)
{
    if (text == m_fullText && !text.isEmpty())
        return;
    m_fullText = text;
    setAccessibleName(text);
    setAccessibleDescription(m_description.isEmpty() ? text : m_description);
    updateShown();
    updateGeometry();
}

void ElidedLabel::setDescription(const QString& description)
{
    m_description = description;
    setAccessibleDescription(description.isEmpty() ? m_fullText : description);
}

void ElidedLabel::setMinimumLines(int lines)
{
    m_minimumLines = std::max(1, lines);
    updateGeometry();
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int lines =
        std::max<int>(m_minimumLines, static_cast<int>(m_fullText.count(QLatin1Char('\n'))) + 1);
    const QMargins margins = contentsMargins();
    return {metrics.averageCharWidth() * HINT_CHARACTERS + margins.left() + margins.right(),
            metrics.lineSpacing() * lines + margins.top() + margins.bottom()};
}

QSize ElidedLabel::minimumSizeHint() const
{
    const QSize hint = sizeHint();
    return {QFontMetrics(font()).averageCharWidth() * MINIMUM_CHARACTERS, hint.height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    updateShown();
}

void ElidedLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateShown();
}

void ElidedLabel::showEvent(QShowEvent* event)
{
    QLabel::showEvent(event);
    updateShown();
}

void ElidedLabel::updateShown()
{
    const QFontMetrics metrics(font());
    const int width = contentsRect().width();
    QStringList lines = m_fullText.split(QLatin1Char('\n'));
    // Not laid out yet while hidden: cut only what is shown.
    for (QString& line : lines) {
        if (isVisible())
            line = metrics.elidedText(line, Qt::ElideRight, width);
    }
    const QString shown = lines.join(QLatin1Char('\n'));
    if (shown != text())
        setText(shown);
    // What the label cuts short, its tool tip shows.
    setToolTip(shown == m_fullText ? QString() : m_fullText);
}
