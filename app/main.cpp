// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSettings>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Pellix"));
    QCoreApplication::setApplicationName(QStringLiteral("pellix-hub-controler"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELLIX_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows a Pellix sensor hub's readings and changes its settings."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Put PORT in the port box."),
                                  QStringLiteral("PORT"));
    const QCommandLineOption connectAtStart(QStringLiteral("connect"), QStringLiteral("Connect at start."));
    parser.addOptions({port, connectAtStart});
    parser.process(application);

    QSettings settings;
    MainWindow window;
    window.useSettings(&settings);
    if (parser.isSet(port))
        window.choosePort(parser.value(port));
    window.show();
    if (parser.isSet(connectAtStart))
        window.connectNow();
    return application.exec();
}
