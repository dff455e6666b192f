#include "app/watchplot.h"

#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QEvent>
#include <QFontMetrics>
#include <QGraphicsItem>
#include <QLineSeries>
#include <QLocale>
#include <QPainter>
#include <QPen>
#include <QTimeZone>
#include <QValueAxis>

#include <algorithm>

namespace {

// Buckets across the window, each drawn as up to six points: about one per
// three pixels of a docked plot.
constexpr qint64 BUCKETS = 150;
// Runs kept apart in one bucket; more are drawn as the middle one.
constexpr size_t RUNS_PER_BUCKET = 3;
const QColor LINE_COLOR(33, 150, 243);

// Steps between time labels, the shortest that leaves each label its room.
constexpr qint64 SECOND = 1000;
constexpr qint64 MINUTE = 60 * SECOND;
constexpr qint64 HOUR = 60 * MINUTE;
constexpr qint64 LABEL_STEPS[] = {
    SECOND, 2 * SECOND, 5 * SECOND, 10 * SECOND, 15 * SECOND, 30 * SECOND,
    MINUTE, 2 * MINUTE, 5 * MINUTE, 10 * MINUTE, 15 * MINUTE, 30 * MINUTE,
    HOUR,   2 * HOUR,   3 * HOUR,   6 * HOUR,    12 * HOUR,   24 * HOUR,
};
// What Qt Charts keeps of each label's share of the axis for its padding,
// with some to spare.
constexpr qreal LABEL_PADDING = 12;
// The value axis' most ticks; fewer where the plot is short.
constexpr int VALUE_TICKS = 5;

} // namespace

// The line, drawn over the chart's plot area in one item: Qt Charts would
// need a series per run between failures.
class WatchPlotLines : public QGraphicsItem {
public:
    WatchPlotLines(QChart* chart, const QList<QList<QPointF>>& lines)
        : QGraphicsItem(chart), m_chart(chart), m_lines(lines)
    {
        setZValue(10);
    }

    void setRanges(double start, double end, double low, double high)
    {
        m_start = start;
        m_end = end;
        m_low = low;
        m_high = high;
        areaChanged();
    }
    void areaChanged()
    {
        prepareGeometryChange();
        update();
    }

    QRectF boundingRect() const override { return m_chart->plotArea(); }

    void paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) override
    {
        const QRectF area = m_chart->plotArea();
        if (area.isEmpty() || m_end <= m_start || m_high <= m_low)
            return;
        painter->save();
        painter->setClipRect(area);
        painter->setRenderHint(QPainter::Antialiasing);
        QPen pen(LINE_COLOR);
        pen.setWidthF(1.5);
        pen.setCapStyle(Qt::RoundCap);
        painter->setPen(pen);
        const double xScale = area.width() / (m_end - m_start);
        const double yScale = area.height() / (m_high - m_low);
        QPolygonF polygon;
        for (const QList<QPointF>& line : m_lines) {
            polygon.clear();
            for (const QPointF& point : line)
                polygon << QPointF(area.left() + (point.x() - m_start) * xScale,
                                   area.bottom() - (point.y() - m_low) * yScale);
            // A value alone between failures is a dot.
            if (polygon.size() == 1)
                painter->drawPoint(polygon.first());
            else
                painter->drawPolyline(polygon);
        }
        painter->restore();
    }

private:
    QChart* m_chart;
    const QList<QList<QPointF>>& m_lines;
    double m_start = 0;
    double m_end = 1;
    double m_low = 0;
    double m_high = 1;
};

void WatchPlot::SRun::add(qint64 time, double value)
{
    if (value < min) {
        min = value;
        minTime = time;
    }
    if (value > max) {
        max = value;
        maxTime = time;
    }
}

WatchPlot::WatchPlot(QWidget* parent)
    : QObject(parent), m_chart(new QChart), m_timeAxis(new QCategoryAxis),
      m_valueAxis(new QValueAxis), m_anchor(new QLineSeries)
{
    m_chart->legend()->hide();
    m_chart->setMargins(QMargins(4, 4, 4, 4));
    m_chart->setBackgroundRoundness(0);
    m_timeAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    m_timeAxis->setTitleText(tr("Time"));
    m_valueAxis->setTickCount(VALUE_TICKS);
    m_valueAxis->setLabelFormat(QStringLiteral("%g"));
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_chart->addAxis(m_valueAxis, Qt::AlignLeft);
    m_chart->addSeries(m_anchor);
    m_anchor->attachAxis(m_timeAxis);
    m_anchor->attachAxis(m_valueAxis);
    m_linesItem = new WatchPlotLines(m_chart, m_lines);
    // The labels fit the plot area, known only once the chart is laid out;
    // fitting them may lay it out anew.
    connect(m_chart, &QChart::plotAreaChanged, this, [this] {
        m_linesItem->areaChanged();
        if (m_fitting)
            return;
        m_fitting = true;
        updateTimeLabels();
        updateValueTicks(false);
        m_fitting = false;
    });

    m_view = new QChartView(m_chart, parent);
    m_view->setRenderHint(QPainter::Antialiasing);
    // Nothing to do with the keyboard here: the values are in the dock's
    // texts.
    m_view->setFocusPolicy(Qt::NoFocus);
    m_view->viewport()->setFocusPolicy(Qt::NoFocus);
    // Qt Charts gives the time axis at most 0.4 of the chart's height and
    // cuts its labels and title short past that.
    const int axisHeight = QFontMetrics(m_timeAxis->labelsFont()).height() +
                           QFontMetrics(m_timeAxis->titleFont()).height() + 22;
    const QMargins margins = m_chart->margins();
    m_view->setMinimumSize(240, static_cast<int>(std::ceil(axisHeight / 0.4)) + margins.top() +
                                    margins.bottom());
    m_view->installEventFilter(this);
    clear();
}

WatchPlot::~WatchPlot() = default;

qint64 WatchPlot::bucketMs() const
{
    return std::max<qint64>(1, m_windowMs / BUCKETS);
}

void WatchPlot::append(qint64 epochMs, double value)
{
    m_samples.emplace_back(epochMs, value);
    if (m_samples.size() > MAX_SAMPLES)
        m_samples.erase(m_samples.begin(),
                        m_samples.begin() + static_cast<std::ptrdiff_t>(MAX_SAMPLES / 10));
    addToBuckets(epochMs, value);
}

void WatchPlot::addToBuckets(qint64 epochMs, double value)
{
    if (std::isnan(value)) {
        m_gapPending = true;
        return;
    }
    const qint64 index = epochMs / bucketMs();
    if (m_buckets.empty() || m_buckets.back().index != index) {
        SBucket bucket;
        bucket.index = index;
        m_buckets.push_back(bucket);
    }
    std::vector<SRun>& runs = m_buckets.back().runs;
    if (runs.empty() || m_gapPending) {
        if (runs.size() == RUNS_PER_BUCKET) {
            // The middle run takes in the last: between them lie failures,
            // so it is drawn as joining no two times.
            SRun& middle = runs[1];
            middle.add(runs[2].minTime, runs[2].min);
            middle.add(runs[2].maxTime, runs[2].max);
            middle.merged = true;
            runs.pop_back();
        }
        SRun run;
        run.gapBefore = m_gapPending;
        runs.push_back(run);
    }
    runs.back().add(epochMs, value);
    m_gapPending = false;
    while (m_buckets.front().index < index - BUCKETS)
        m_buckets.pop_front();
}

void WatchPlot::rebuildBuckets()
{
    m_buckets.clear();
    m_gapPending = false;
    if (m_samples.empty())
        return;
    const qint64 from = m_samples.back().first - m_windowMs - bucketMs();
    auto it = std::lower_bound(m_samples.begin(), m_samples.end(), from,
                               [](const auto& sample, qint64 time) { return sample.first < time; });
    // The line must not join the first value in view to one before it.
    if (it != m_samples.begin())
        m_gapPending = std::isnan(std::prev(it)->second);
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
    m_gapPending = false;
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
    // a bucket at a time.
    const qint64 step = bucketMs();
    const qint64 end = std::max((last / step + 1) * step, first + m_windowMs);
    const qint64 start = end - m_windowMs;

    m_lines.clear();
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const SBucket& bucket : m_buckets) {
        for (const SRun& run : bucket.runs) {
            if (std::max(run.minTime, run.maxTime) < start)
                continue;
            if ((run.gapBefore || run.merged || m_lines.isEmpty()) &&
                (m_lines.isEmpty() || !m_lines.last().isEmpty()))
                m_lines.append(QList<QPointF>());
            QList<QPointF>& line = m_lines.last();
            if (run.merged) {
                // Upright at the bucket's middle: it joins no two times.
                const qreal middle = static_cast<qreal>(bucket.index * step + step / 2);
                line.append(QPointF(middle, run.min));
                if (run.max > run.min)
                    line.append(QPointF(middle, run.max));
                m_lines.append(QList<QPointF>());
            } else {
                const QPointF lowest(static_cast<qreal>(run.minTime), run.min);
                const QPointF highest(static_cast<qreal>(run.maxTime), run.max);
                if (run.minTime == run.maxTime) {
                    line.append(lowest);
                } else if (run.minTime < run.maxTime) {
                    line.append(lowest);
                    line.append(highest);
                } else {
                    line.append(highest);
                    line.append(lowest);
                }
            }
            low = std::min(low, run.min);
            high = std::max(high, run.max);
        }
    }
    if (!m_lines.isEmpty() && m_lines.last().isEmpty())
        m_lines.removeLast();

    if (start != m_shownStart || end != m_shownEnd) {
        m_timeAxis->setRange(static_cast<qreal>(start), static_cast<qreal>(end));
        m_shownStart = start;
        m_shownEnd = end;
        updateTimeLabels();
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
        updateValueTicks(true);
    }
    m_linesItem->setRanges(static_cast<double>(start), static_cast<double>(end), m_valueAxis->min(),
                           m_valueAxis->max());
}

void WatchPlot::updateValueTicks(bool rangeChanged)
{
    // Qt Charts shares out the height down to the plot's bottom among the
    // value labels and cuts one short with "..." past its share.
    const QFontMetrics metrics(m_valueAxis->labelsFont());
    const qreal height = m_chart->plotArea().height() > 0 ? m_chart->plotArea().bottom()
                                                          : qreal(m_view->height()) / 2;
    const int most =
        std::clamp(static_cast<int>(height / (metrics.height() + LABEL_PADDING)), 2, VALUE_TICKS);
    if (!rangeChanged && most == m_valueTicks)
        return;
    m_valueTicks = most;
    // Nice numbers may take a tick more than asked for.
    for (int ticks = most;; --ticks) {
        m_valueAxis->setTickCount(ticks);
        m_valueAxis->setRange(m_shownLow, m_shownHigh);
        m_valueAxis->applyNiceNumbers();
        if (m_valueAxis->tickCount() <= most || ticks == 2)
            break;
    }
    m_linesItem->setRanges(static_cast<double>(m_shownStart), static_cast<double>(m_shownEnd),
                           m_valueAxis->min(), m_valueAxis->max());
}

QString WatchPlot::timeLabelText(qint64 time, qint64 step, bool withDate)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(time);
    const QString label =
        at.toString(step < MINUTE ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm"));
    if (!withDate)
        return label;
    return QLocale().toString(at.date(), QStringLiteral("MMM d")) + QLatin1Char(' ') + label;
}

void WatchPlot::updateTimeLabels()
{
    const qint64 start = m_shownStart;
    const qint64 end = m_shownEnd;
    const qint64 span = end - start;
    if (span <= 0)
        return;
    // A date where it changes, and on the first label of a window that
    // spans days.
    const bool dated =
        QDateTime::fromMSecsSinceEpoch(start).date() != QDateTime::fromMSecsSinceEpoch(end).date();
    const QFontMetrics metrics(m_timeAxis->labelsFont());
    const qreal width =
        m_chart->plotArea().width() > 0 ? m_chart->plotArea().width() : qreal(m_view->width());
    // Qt Charts shares out the axis' whole width, value labels included.
    const qreal axisWidth =
        m_chart->size().width() - m_chart->margins().left() - m_chart->margins().right();
    // Whole steps of local time: 10:00, not 10:00 UTC in another zone.
    const qint64 offset = qint64(QDateTime::fromMSecsSinceEpoch(start).offsetFromUtc()) * 1000;
    const auto stepTimes = [&](qint64 step, qint64 from, qint64 to) {
        std::vector<qint64> times;
        for (qint64 local = ((from + offset) / step + 1) * step; local - offset <= to;
             local += step)
            times.push_back(local - offset);
        return times;
    };

    // The shortest step whose labels each have their room. A label is
    // centred on its time, so none may lie within half a label of either
    // end, where the view would cut it; and Qt Charts cuts a label short
    // with "..." past the axis' width over one more than their number.
    std::vector<qint64> times;
    qint64 step = 0;
    // Narrower than one label: the time in the middle.
    qint64 fallback = (start + span / 2) / SECOND * SECOND;
    qint64 fallbackStep = SECOND;
    const int narrowest = metrics.horizontalAdvance(QStringLiteral("88:88"));
    for (const qint64 candidate : LABEL_STEPS) {
        // Too close for any label: not worth measuring a day's seconds.
        if (width * static_cast<qreal>(candidate) < narrowest * static_cast<qreal>(span) &&
            candidate != LABEL_STEPS[std::size(LABEL_STEPS) - 1])
            continue;
        const std::vector<qint64> all = stepTimes(candidate, start - 1, end);
        int widest = 0;
        for (const qint64 time : all)
            widest =
                std::max(widest, metrics.horizontalAdvance(timeLabelText(time, candidate, dated)));
        // Some space between neighbours.
        const int room = widest + metrics.averageCharWidth() * 2;
        const qint64 inset = static_cast<qint64>(std::ceil(span * (room / 2.0 + 1) / width));
        std::vector<qint64> inside;
        for (const qint64 time : all)
            if (time >= start + inset && time <= end - inset)
                inside.push_back(time);
        if (inside.empty())
            continue;
        const qreal gap = width * static_cast<qreal>(candidate) / static_cast<qreal>(span);
        const qreal share = axisWidth / static_cast<qreal>(inside.size() + 1) - LABEL_PADDING;
        if (share >= room && (inside.size() == 1 || gap >= room)) {
            times = inside;
            step = candidate;
            break;
        }
        // Where none has its room, one label still names a time: the
        // coarsest step's nearest the middle.
        const qint64 middle = start + span / 2;
        fallback = *std::min_element(inside.begin(), inside.end(), [middle](qint64 a, qint64 b) {
            return std::abs(a - middle) < std::abs(b - middle);
        });
        fallbackStep = candidate;
    }
    if (times.empty()) {
        step = fallbackStep;
        times.push_back(fallback);
    }
    QStringList texts;
    QDate shownDate;
    for (const qint64 time : times) {
        const QDate date = QDateTime::fromMSecsSinceEpoch(time).date();
        texts << timeLabelText(time, step, dated && date != shownDate);
        shownDate = date;
    }
    if (times == m_labelTimes && texts == m_timeAxis->categoriesLabels())
        return;
    m_labelTimes = times;

    for (const QString& label : m_timeAxis->categoriesLabels())
        m_timeAxis->remove(label);
    m_timeAxis->setStartValue(static_cast<qreal>(start));
    for (qsizetype i = 0; i < texts.size(); ++i)
        m_timeAxis->append(texts[i], static_cast<qreal>(times[size_t(i)]));
}

QStringList WatchPlot::timeLabels() const
{
    return m_timeAxis->categoriesLabels();
}

QString WatchPlot::timeTitle() const
{
    return m_timeAxis->titleText();
}

void WatchPlot::setUnit(const QString& unit)
{
    m_valueAxis->setTitleText(unit);
}

bool WatchPlot::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view && event->type() == QEvent::Resize)
        updateTimeLabels();
    return QObject::eventFilter(watched, event);
}

int WatchPlot::pointCount() const
{
    int count = 0;
    for (const QList<QPointF>& line : m_lines)
        count += static_cast<int>(line.size());
    return count;
}
