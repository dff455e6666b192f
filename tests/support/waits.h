#pragma once

// Tests wait for conditions, never for durations: a wait returns as soon as
// its condition holds, and gives up only after a bound that a fault reaches,
// not a slow machine (two loaded cores, a sanitizer build).

#include <QTest>

#include <chrono>
#include <thread>

namespace testsupport {

inline constexpr int WAIT_MS = 30000;
inline constexpr std::chrono::milliseconds WAIT{WAIT_MS};

// Runs the event loop until the condition holds or the test has failed
// (in a slot or a dialog handler); false after WAIT_MS.
template <typename Condition> [[nodiscard]] bool waitFor(Condition condition)
{
    return QTest::qWaitFor([&] { return condition() || QTest::currentTestFailed(); }, WAIT_MS) &&
           !QTest::currentTestFailed();
}

// The same for threads without an event loop: polls every millisecond.
template <typename Condition> [[nodiscard]] bool pollFor(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + WAIT;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace testsupport

// QCOMPARE and QVERIFY of what comes with the event loop running: they pass
// as soon as it holds and fail after testsupport::WAIT_MS.
#define PELLAN_TRY_COMPARE(actual, expected)                                                       \
    do {                                                                                           \
        (void)testsupport::waitFor([&] { return (actual) == (expected); });                        \
        QCOMPARE(actual, expected);                                                                \
    } while (false)

#define PELLAN_TRY_VERIFY(condition)                                                               \
    do {                                                                                           \
        (void)testsupport::waitFor([&] { return bool(condition); });                               \
        QVERIFY(condition);                                                                        \
    } while (false)
