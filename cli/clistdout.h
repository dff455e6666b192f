#pragma once

#include <QIODevice>

// Standard output as the command-line tool writes it: every write goes
// straight to the file descriptor, and a failed one leaves the system's
// reason ("No space left on device") as the error string, so that nothing
// is lost unnoticed. While CCliStopSignals lives, a write that would block
// (a full pipe) gives way to a stop: what is left of it is dropped.
class CCliStdout : public QIODevice {
public:
    // Writes to fd; -1 stands for an output that was closed when the
    // program started, on which every write fails as "Bad file descriptor".
    explicit CCliStdout(int fd);

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    int m_fd;
};

// Opens /dev/null on whichever of the standard descriptors 0 to 2 is
// closed, so that no file the program opens later takes its number and
// receives its output. Returns whether standard output was closed.
bool ReserveStandardDescriptors();
