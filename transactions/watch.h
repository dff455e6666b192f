#pragma once

// Watching a value: one read per poll, optionally from a register, decoded
// by a rule, and the samples written as CSV. The window's watch dock and the
// command-line tool share these, so both poll and log alike.

#include "transactions/i2ctransaction.h"
#include "transactions/valuedecoding.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class COrvI2c;

// What a watch reads.
struct SWatchSource {
    uint8_t address = 0;
    // Written before each read with a start and no stop, the read following
    // after a repeated start; none reads at the device's current pointer.
    std::optional<uint32_t> reg;
    int regWidth = 1; // pointer bytes, 1 to 4
    size_t count = 2;
};

// The outcome of one poll.
struct SWatchPoll {
    bool ok = false;
    std::vector<uint8_t> data; // the bytes read; empty unless ok
    QString error;             // the adapter's text, empty when ok
    // The adapter waited for its whole deadline: polling again on the GUI
    // thread would freeze the window that long every time.
    bool timedOut = false;
    // The adapter's status byte of the read, or of the transaction that
    // failed; 0 when nothing was sent.
    uint8_t status = 0;
    // The transaction that failed, which tells how to put it right.
    std::optional<SI2cTransaction> failure;
};

// One transaction (two with a register: pointer, then read) on a connected
// adapter.
SWatchPoll RunWatchPoll(COrvI2c& adapter, const SWatchSource& source);

// One sample of a watch as it is logged.
struct SWatchSample {
    qint64 epochMs = 0; // wall-clock time of the poll, ms since 1970 UTC
    double seconds = 0; // since the watch started, from a monotonic clock
    std::vector<uint8_t> raw;
    std::optional<double> value;
    QString error; // the poll's or the decoding's, empty for a good sample
    // The poll gave bytes but the rule could not decode them (too few bytes
    // for the format, a value out of range): the rule's fault, not the bus's.
    bool ruleError = false;
};

// The sample of a poll: its bytes decoded by the rule; a failed poll or a
// failed decoding has no value and says why in error.
SWatchSample MakeWatchSample(const SWatchPoll& poll, const SDecodingRule& rule, qint64 epochMs,
                             double seconds);

// The time as ISO 8601 with milliseconds at a fixed offset from UTC, e.g.
// "2026-03-14T09:26:53.589+01:00" ("Z" for offset 0).
QString FormatIsoTimestamp(qint64 epochMs, int offsetFromUtcSeconds);
// The same in the local time zone of the moment.
QString FormatLocalIsoTimestamp(qint64 epochMs);

// A CSV field as RFC 4180 wants it: quoted when it holds a comma, quote,
// CR or LF, quotes doubled.
QString CsvField(const QString& text);
// Fields joined by commas, each through CsvField; no line end.
QString CsvLine(const QStringList& fields);

// "time,seconds,raw,value,status"
QString WatchCsvHeader();
// How a CSV line writes the value: with the rule's decimals, as shown, or
// exact, in the fewest digits that give the number back.
enum class EWatchCsvValue { AsShown, Exact };
// One sample: ISO timestamp, seconds since start with three decimals, raw
// bytes in hex separated by spaces, value (empty without one), and "ok" or
// the error. No line end.
QString WatchCsvLine(const SWatchSample& sample, const SDecodingRule& rule,
                     int offsetFromUtcSeconds, EWatchCsvValue value = EWatchCsvValue::AsShown);

// The schedule of a watch's polls: slot k is due k intervals after the first
// poll began (elapsed 0), so that polls do not drift. A poll starts at its
// slot, or later after a long poll or a wait that overshot, but never more
// than half an interval late: a slot that has passed by more than that is
// skipped. So two polls never start less than half an interval apart.
//
// Returns the slot to poll or to wait for, elapsed after the start: the
// first from next on that has not passed by more than half an interval. The
// poll runs at once when that slot is due; otherwise the watch waits for it
// and asks again, as the wait may overshoot.
qint64 WatchSlot(std::chrono::nanoseconds elapsed, std::chrono::nanoseconds interval, qint64 next);

inline constexpr int WATCH_INTERVAL_MIN_MS = 10;
inline constexpr int WATCH_INTERVAL_MAX_MS = 3600 * 1000;

// An interval as "100ms", "2s", "1.5s", "1min" or "1h": a decimal number
// and a unit in lower case, without blanks, 10 ms to 1 h; nothing with the
// reason in error.
std::optional<int> ParseWatchInterval(const QString& text, QString* error);
// The shortest of those forms that gives the interval back, e.g. "250ms",
// "2s", "1min".
QString FormatWatchInterval(int ms);
