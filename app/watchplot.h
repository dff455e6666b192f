#pragma once

#include <QList>
#include <QObject>
#include <QPointF>

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

class QChart;
class QEvent;
class QChartView;
class QDateTimeAxis;
class QLineSeries;
class QValueAxis;
class QWidget;

// The live plot of a watch: value against clock time over a window of the
// last seconds, the value axis scaled to what is visible. A failed poll
// leaves a gap in the line.
//
// Appending costs the same at any number of samples: the visible window is
// kept as a fixed number of time buckets, each drawn as its lowest and
// highest value, so the line never holds more points than the plot has
// room for.
class WatchPlot : public QObject {
    Q_OBJECT

public:
    static constexpr double GAP = std::numeric_limits<double>::quiet_NaN();

    explicit WatchPlot(QWidget* parent);

    QChartView* view() const { return m_view; }

    // A sample at its wall-clock time (ms since 1970); GAP for a failed
    // poll or a pause. Times only grow. The line follows on refresh().
    void append(qint64 epochMs, double value);
    // All samples anew, e.g. decoded by another rule.
    void setSamples(std::vector<std::pair<qint64, double>> samples);
    void clear();
    void setWindowSeconds(int seconds);
    int windowSeconds() const { return static_cast<int>(m_windowMs / 1000); }
    // The title of the value axis.
    void setUnit(const QString& unit);

    // Puts the buckets into the line and scales the axes.
    void refresh();

    // Points of the line, for tests and benchmarks.
    int pointCount() const;
    int segmentCount() const;

protected:
    // Fits the number of time labels to the width of the view.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct SBucket {
        qint64 index = 0;
        double min = std::numeric_limits<double>::infinity();
        double max = -std::numeric_limits<double>::infinity();
        qint64 minTime = 0;
        qint64 maxTime = 0;
        bool gapAfter = false;
        bool hasValue() const { return min <= max; }
    };

    qint64 bucketMs() const;
    void addToBuckets(qint64 epochMs, double value);
    void rebuildBuckets();
    QLineSeries* segment(int index);

    QChart* m_chart;
    QChartView* m_view;
    QDateTimeAxis* m_timeAxis;
    QValueAxis* m_valueAxis;
    QList<QLineSeries*> m_segments;
    // The ranges last given to the axes, before rounding to nice numbers.
    qint64 m_shownStart = 0;
    qint64 m_shownEnd = 0;
    double m_shownLow = 0;
    double m_shownHigh = 0;
    int m_usedSegments = 0;

    qint64 m_windowMs = 60'000;
    std::vector<std::pair<qint64, double>> m_samples;
    std::deque<SBucket> m_buckets;
};
