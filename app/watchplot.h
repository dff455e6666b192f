#pragma once

#include <QList>
#include <QObject>
#include <QPointF>

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

class QCategoryAxis;
class QChart;
class QChartView;
class QEvent;
class QLineSeries;
class QValueAxis;
class QWidget;
class WatchPlotLines;

// The live plot of a watch: value against clock time over a window of the
// last seconds, the value axis scaled to what is visible, the time axis
// labelled at whole seconds, minutes or hours (with the date where it
// changes). A failed poll and a pause break the line: no line ever joins
// two values with a failure or a pause between them.
//
// Appending costs the same at any number of samples: the visible window is
// kept as a fixed number of time buckets. A bucket holds the runs of values
// between failures that fall into it, each drawn as its lowest and highest
// value; past three runs the middle ones are drawn as one upright line at
// the bucket's middle, which joins no two times. So the line never holds
// more points than the plot has room for.
class WatchPlot : public QObject {
    Q_OBJECT

public:
    static constexpr double GAP = std::numeric_limits<double>::quiet_NaN();
    // Samples kept for drawing anew (another window); older ones go, as
    // the watch's own memory lets them go.
    static constexpr size_t MAX_SAMPLES = 500'000;

    explicit WatchPlot(QWidget* parent);
    ~WatchPlot() override;

    QChartView* view() const { return m_view; }

    // A sample at its wall-clock time (ms since 1970); GAP for a failed
    // poll or a pause. Times only grow. The line follows on refresh().
    void append(qint64 epochMs, double value);
    // All samples anew.
    void setSamples(std::vector<std::pair<qint64, double>> samples);
    void clear();
    void setWindowSeconds(int seconds);
    int windowSeconds() const { return static_cast<int>(m_windowMs / 1000); }
    // The title of the value axis.
    void setUnit(const QString& unit);

    // Puts the buckets into the line and scales the axes.
    void refresh();

    // The line as drawn, in time (ms since 1970) and value, each run
    // between breaks a list of its own; for tests and benchmarks.
    const QList<QList<QPointF>>& lines() const { return m_lines; }
    int pointCount() const;
    int segmentCount() const { return static_cast<int>(m_lines.size()); }
    // The texts of the time axis, left to right, and their times.
    QStringList timeLabels() const;
    const std::vector<qint64>& timeLabelTimes() const { return m_labelTimes; }
    QString timeTitle() const;

protected:
    // Fits the number of time labels to the width of the view.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Values between two failures, within one bucket.
    struct SRun {
        double min = std::numeric_limits<double>::infinity();
        double max = -std::numeric_limits<double>::infinity();
        qint64 minTime = 0;
        qint64 maxTime = 0;
        bool gapBefore = false; // a failure or pause comes before it
        bool merged = false;    // several runs with failures between them
        void add(qint64 time, double value);
    };
    struct SBucket {
        qint64 index = 0;
        std::vector<SRun> runs; // at most three
    };

    qint64 bucketMs() const;
    void addToBuckets(qint64 epochMs, double value);
    void rebuildBuckets();
    void updateTimeLabels();
    // Value ticks as many as the plot's height has room for.
    void updateValueTicks(bool rangeChanged);
    static QString timeLabelText(qint64 time, qint64 step, bool withDate);

    QChart* m_chart;
    QChartView* m_view;
    QCategoryAxis* m_timeAxis;
    QValueAxis* m_valueAxis;
    // Holds the axes' domain; the line itself is drawn by m_linesItem.
    QLineSeries* m_anchor;
    WatchPlotLines* m_linesItem;
    QList<QList<QPointF>> m_lines;
    // The ranges last given to the axes, before rounding to nice numbers.
    qint64 m_shownStart = 0;
    qint64 m_shownEnd = 0;
    double m_shownLow = 0;
    double m_shownHigh = 0;
    // The times the time axis is labelled at.
    std::vector<qint64> m_labelTimes;
    int m_valueTicks = 0;
    bool m_fitting = false;

    qint64 m_windowMs = 60'000;
    std::vector<std::pair<qint64, double>> m_samples;
    std::deque<SBucket> m_buckets;
    // A failure or pause came after the last value.
    bool m_gapPending = false;
};
