#include "app/watchplot.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QEvent>
#include <QLineSeries>
#include <QPen>
#include <QValueAxis>

#include <algorithm>

namespace {

// Buckets across the window, each drawn as up to two points: about one per
// three pixels of a docked plot. Qt Charts rebuilds the whole line and its
// outline on every change, so the points are kept few.
constexpr qint64 BUCKETS = 150;
// Runs between gaps, each a line of its own; past this many the rest are
// joined into the last one, across their gaps.
constexpr int MAX_SEGMENTS = 32;
const QColor LINE_COLOR(33, 150, 243);
// Room for one "HH:mm:ss" label with space around it.
constexpr int TIME_LABEL_WIDTH = 90;

} // namespace

WatchPlot::WatchPlot(QWidget* parent)
    : QObject(parent), m_chart(new QChart), m_timeAxis(new QDateTimeAxis),
      m_valueAxis(new QValueAxis)
{
    m_chart->legend()->hide();
    m_chart->setMargins(QMargins(4, 4, 4, 4));
    m_chart->setBackgroundRoundness(0);
    m_timeAxis->setFormat(QStringLiteral("HH:mm:ss"));
    m_timeAxis->setTickCount(5);
    m_valueAxis->setTickCount(5);
    m_valueAxis->setLabelFormat(QStringLiteral("%g"));
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_chart->addAxis(m_valueAxis, Qt::AlignLeft);

    m_view = new QChartView(m_chart, parent);
    m_view->setRenderHint(QPainter::Antialiasing);
    // Nothing to do with the keyboard here: the values are in the dock's
    // texts.
    m_view->setFocusPolicy(Qt::NoFocus);
    m_view->viewport()->setFocusPolicy(Qt::NoFocus);
    m_view->setMinimumSize(240, 160);
    m_view->installEventFilter(this);
    clear();
}

qint64 WatchPlot::bucketMs() const
{
    return std::max<qint64>(1, m_windowMs / BUCKETS);
}

QLineSeries* WatchPlot::segment(int index)
{
    while (m_segments.size() <= index) {
        auto* series = new QLineSeries;
        QPen pen(LINE_COLOR);
        pen.setWidthF(1.0);
        series->setPen(pen);
        m_chart->addSeries(series);
        series->attachAxis(m_timeAxis);
        series->attachAxis(m_valueAxis);
        m_segments.append(series);
    }
    return m_segments.at(index);
}

void WatchPlot::append(qint64 epochMs, double value)
{
    m_samples.emplace_back(epochMs, value);
    addToBuckets(epochMs, value);
}

void WatchPlot::addToBuckets(qint64 epochMs, double value)
{
    const qint64 index = epochMs / bucketMs();
    if (m_buckets.empty() || m_buckets.back().index != index) {
        SBucket bucket;
        bucket.index = index;
        m_buckets.push_back(bucket);
    }
    SBucket& bucket = m_buckets.back();
    if (std::isnan(value)) {
        bucket.gapAfter = true;
    } else {
        if (value < bucket.min) {
            bucket.min = value;
            bucket.minTime = epochMs;
        }
        if (value > bucket.max) {
            bucket.max = value;
            bucket.maxTime = epochMs;
        }
    }
    while (m_buckets.front().index < index - BUCKETS)
        m_buckets.pop_front();
}

void WatchPlot::rebuildBuckets()
{
    m_buckets.clear();
    if (m_samples.empty())
        return;
    const qint64 from = m_samples.back().first - m_windowMs - bucketMs();
    auto it = std::lower_bound(m_samples.begin(), m_samples.end(), from,
                               [](const auto& sample, qint64 time) { return sample.first < time; });
    for (; it != m_samples.end(); ++it)
        addToBuckets(it->first, it->second);
}

void WatchPlot::setSamples(std::vector<std::pair<qint64, double>> samples)
{
    m_samples = std::move(samples);
    rebuildBuckets();
    refresh();
}

void WatchPlot::clear()
{
    m_samples.clear();
    m_buckets.clear();
    refresh();
}

void WatchPlot::setWindowSeconds(int seconds)
{
    m_windowMs = std::max<qint64>(1, seconds) * 1000;
    rebuildBuckets();
    refresh();
}

void WatchPlot::refresh()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 first = m_samples.empty() ? now : m_samples.front().first;
    const qint64 last = m_samples.empty() ? now : m_samples.back().first;
    // The line grows from the left until it fills the window, then scrolls
    // a bucket at a time: the axes are laid out anew only then.
    const qint64 step = bucketMs();
    const qint64 end = std::max((last / step + 1) * step, first + m_windowMs);
    const qint64 start = end - m_windowMs;

    QList<QList<QPointF>> runs(1);
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const SBucket& bucket : m_buckets) {
        if (bucket.hasValue() && std::max(bucket.minTime, bucket.maxTime) >= start) {
            QList<QPointF>& run = runs.last();
            const QPointF lowest(static_cast<qreal>(bucket.minTime), bucket.min);
            const QPointF highest(static_cast<qreal>(bucket.maxTime), bucket.max);
            if (bucket.minTime == bucket.maxTime) {
                run.append(lowest);
            } else if (bucket.minTime < bucket.maxTime) {
                run.append(lowest);
                run.append(highest);
            } else {
                run.append(highest);
                run.append(lowest);
            }
            low = std::min(low, bucket.min);
            high = std::max(high, bucket.max);
        }
        if (bucket.gapAfter && !runs.last().isEmpty() && runs.size() < MAX_SEGMENTS)
            runs.append(QList<QPointF>());
    }

    m_usedSegments = 0;
    for (const QList<QPointF>& run : runs) {
        if (!run.isEmpty())
            segment(m_usedSegments++)->replace(run);
    }
    for (int i = m_usedSegments; i < m_segments.size(); ++i) {
        if (m_segments.at(i)->count() > 0)
            m_segments.at(i)->clear();
    }

    if (start != m_shownStart || end != m_shownEnd) {
        m_timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(start),
                             QDateTime::fromMSecsSinceEpoch(end));
        m_shownStart = start;
        m_shownEnd = end;
    }
    if (low > high) {
        low = 0;
        high = 1;
    } else {
        // Some room above and below; a flat line sits in the middle.
        const double margin =
            high > low ? (high - low) * 0.05 : std::max(std::abs(high) * 0.01, 0.5);
        low -= margin;
        high += margin;
    }
    if (low != m_shownLow || high != m_shownHigh) {
        m_shownLow = low;
        m_shownHigh = high;
        m_valueAxis->setRange(low, high);
        m_valueAxis->applyNiceNumbers();
    }
}

void WatchPlot::setUnit(const QString& unit)
{
    m_valueAxis->setTitleText(unit);
}

bool WatchPlot::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view && event->type() == QEvent::Resize)
        m_timeAxis->setTickCount(std::clamp(m_view->width() / TIME_LABEL_WIDTH, 2, 6));
    return QObject::eventFilter(watched, event);
}

int WatchPlot::pointCount() const
{
    int count = 0;
    for (int i = 0; i < m_usedSegments; ++i)
        count += m_segments.at(i)->count();
    return count;
}

int WatchPlot::segmentCount() const
{
    return m_usedSegments;
}
