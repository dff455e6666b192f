#pragma once

#include <QApplication>
#include <QTest>

namespace testsupport {

// Points HOME and the XDG folders at a fresh temporary folder (removed at
// exit) and picks the offscreen platform unless one is set, so that a test
// run by hand never reads or writes the user's settings, documents or trash.
// Call before the application object exists.
void usePrivateHome();

} // namespace testsupport

// QTEST_MAIN with a private home.
#define PELLAN_TEST_MAIN(TestObject)                                                               \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        testsupport::usePrivateHome();                                                             \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
