#pragma once

#include "tests/support/waits.h"
#include "tests/support/watchdog.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace testsupport {

// Opens a FIFO for writing when a reader still waits in open() after a
// wait's bound, so that a reader that blocks fails the test instead of
// hanging it. The bound is long: a slow machine must not pass for a reader
// that blocks. finish() is true when the reader had to be let go.
class CFifoWatchdog : public CWatchdog {
public:
    // The FIFO may be made later or not at all; only a blocked reader is let
    // go. It is opened again every 10 ms, for a reader that opens it again.
    explicit CFifoWatchdog(const QString& fifo)
        : CWatchdog(
              WAIT,
              [path = QFile::encodeName(fifo)] {
                  const int fd = open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                  if (fd >= 0)
                      close(fd);
              },
              std::chrono::milliseconds(10))
    {
    }
};

} // namespace testsupport
