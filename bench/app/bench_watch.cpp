// The watch dock over a long session: appending a sample to the plot must
// cost the same at 100,000 samples as at 100, and the dock must repaint
// within a frame (16 ms) however many samples it holds.
//
// Run: QT_QPA_PLATFORM=offscreen build/bench/app/bench_watch

#include "app/mainwindow.h"
#include "app/watchdock.h"
#include "app/watchplot.h"
#include "bench/app/benchmain.h"

#include <QApplication>
#include <QChartView>
#include <QScrollArea>

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

constexpr qint64 START_MS = 1'700'000'000'000;
constexpr qint64 INTERVAL_MS = 10;

// The main window with the dock floating at the size of the README's
// screenshot, its plot holding `samples` samples 10 ms apart, a failure
// now and then.
struct SWatchWindow {
    MainWindow window;
    WatchDock* dock = window.findChild<WatchDock*>();
    qint64 next = 0;
    // Every other poll fails: the most runs between failures a plot can
    // hold, three in each of its buckets.
    bool failing = false;

    explicit SWatchWindow(int samples, bool everyOtherFails = false) : failing(everyOtherFails)
    {
        window.show();
        dock->setFloating(true);
        dock->resize(960, 400);
        dock->show();
        for (; next < samples; ++next)
            append();
        dock->plot()->refresh();
        QApplication::processEvents();
    }
    void append()
    {
        const bool failed = failing ? next % 2 == 1 : next % 997 == 0;
        const double value = failed ? WatchPlot::GAP : 250 + 140 * std::sin(next / 2000.0);
        dock->plot()->append(START_MS + next * INTERVAL_MS, value);
        ++next;
    }
};

// One sample appended, the line and axes brought up to date and the plot
// painted.
void BM_PlotAppend(benchmark::State& state)
{
    SWatchWindow w(static_cast<int>(state.range(0)), state.range(1) != 0);
    QChartView* view = w.dock->plot()->view();
    for (auto _ : state) {
        w.append();
        w.dock->plot()->refresh();
        // The chart lays itself out and updates its scene from posted events.
        QApplication::processEvents();
        view->repaint();
    }
    state.counters["points"] = w.dock->plot()->pointCount();
}
// A fixed number of iterations, so that the plot holds about the number of
// samples named.
BENCHMARK(BM_PlotAppend)
    ->Args({100, 0})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);

// A whole repaint of the dock: its fields, texts and plot.
void BM_DockRepaint(benchmark::State& state)
{
    SWatchWindow w(static_cast<int>(state.range(0)));
    w.dock->refreshNow();
    // The fields, texts and plot lie in a scroll area, which a repaint of
    // the dock leaves alone.
    QWidget* contents = static_cast<QScrollArea*>(w.dock->widget())->widget();
    for (auto _ : state) {
        contents->update();
        contents->repaint();
    }
}
BENCHMARK(BM_DockRepaint)->Arg(100)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return runWindowBenchmarks(argc, argv);
}
