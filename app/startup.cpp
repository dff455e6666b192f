#include "app/startup.h"

#include "app/mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The write end of the pair that carries a signal into the event loop; a
// handler may do little more than write(2).
int g_signalWrite = -1;

void onSignal(int signo)
{
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    // Nothing to do when it fails: the pair is full of signals already.
    if (::write(g_signalWrite, &byte, 1) < 0) {
    }
    errno = saved;
}

// SIGTERM at logout, SIGHUP when the terminal goes, Ctrl+C: the window
// closes as if asked, keeping its geometry and docks; a second signal while
// it is closing (a question open, a read running) ends the program at once.
void closeOnSignals(MainWindow& window)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    g_signalWrite = fds[0];
    auto* notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, fd = fds[1]] {
        static int received = 0;
        char byte = 0;
        while (::read(fd, &byte, 1) == 1) {
            if (++received > 1) {
                QCoreApplication::exit(128 + byte);
                return;
            }
            window.saveWindowState();
            window.close();
        }
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signo : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signo, &action, nullptr);
}

} // namespace

int runApplication(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QApplication::setApplicationName(QStringLiteral("pellan_i2c"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/res/icon/icon.png")));

    MainWindow window;
    closeOnSignals(window);
    window.show();
    return app.exec();
}
