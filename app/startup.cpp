#include "app/startup.h"

#include "app/mainwindow.h"

#include <QApplication>
#include <QIcon>

int runApplication(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QApplication::setApplicationName(QStringLiteral("pellan_i2c"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/res/icon/icon.png")));

    MainWindow window;
    window.show();
    return app.exec();
}
