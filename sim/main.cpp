// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-hubsim: serves a simulated hub on a pseudo-terminal, so the controller can be
// tried without the hardware.

#include "hubsimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <pthread.h>
#include <unistd.h>

namespace {

void fail(const QString &message)
{
    std::fprintf(stderr, "pellix-hubsim: %s\n", qPrintable(message));
    std::exit(2);
}

bool pointsTo(const QString &link, const QString &target)
{
    const QFileInfo info(link);
    return info.isSymLink() && info.symLinkTarget() == target;
}

} // namespace

// Sets hub up as the command line asks; the link's path goes to link, the
// file for received images to imageFile.
void configure(const QCoreApplication &app, HubSimulator &hub, QString &link, QString &imageFile)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves a simulated Pellix sensor hub on a pseudo-terminal until interrupted."));
    parser.addHelpOption();
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("Symbolic link to the port (default /tmp/pellix-hub; empty for none)."),
                                        QStringLiteral("path"), QStringLiteral("/tmp/pellix-hub"));
    const QCommandLineOption speedOption(QStringLiteral("speed"),
                                         QStringLiteral("Speed factor: 1 is 115200 baud, 10 ten times faster, 0 unpaced (default 1)."),
                                         QStringLiteral("factor"), QStringLiteral("1"));
    const QCommandLineOption textOption(QStringLiteral("text"), QStringLiteral("Start in text output."));
    const QCommandLineOption binaryOption(QStringLiteral("binary"), QStringLiteral("Start in binary output (default)."));
    const QCommandLineOption fastOption(QStringLiteral("fast"), QStringLiteral("Start in fast mode (default)."));
    const QCommandLineOption preciseOption(QStringLiteral("precise"), QStringLiteral("Start in precise mode."));
    const QCommandLineOption maskOption(QStringLiteral("mask"),
                                        QStringLiteral("Connected-sensor mask, two hex digits (default 0F)."), QStringLiteral("hex"),
                                        QStringLiteral("0F"));
    const QCommandLineOption bootOption(QStringLiteral("boot-loader"),
                                        QStringLiteral("Start in the boot loader."));
    const QCommandLineOption saveOption(QStringLiteral("save-image"),
                                        QStringLiteral("Write each firmware image received to this file."), QStringLiteral("file"));
    const QCommandLineOption kindOption(QStringLiteral("kind-handshake"),
                                        QStringLiteral("Pause the stream while the hub is asked who it is (a real hub does not)."));
    const QCommandLineOption eraseOption(QStringLiteral("erase-ms"),
                                         QStringLiteral("How long the boot loader erases, in ms of the hub's pace (default 2500)."),
                                         QStringLiteral("ms"), QStringLiteral("2500"));
    parser.addOptions({linkOption, speedOption, textOption, binaryOption, fastOption, preciseOption,
                       maskOption, bootOption, saveOption, kindOption, eraseOption});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(textOption) && parser.isSet(binaryOption))
        fail(QStringLiteral("--text and --binary exclude each other"));
    if (parser.isSet(fastOption) && parser.isSet(preciseOption))
        fail(QStringLiteral("--fast and --precise exclude each other"));

    bool ok = false;
    const double speed = parser.value(speedOption).toDouble(&ok);
    if (!ok || speed < 0)
        fail(QStringLiteral("--speed wants a number of 0 or more"));
    const uint mask = parser.value(maskOption).toUInt(&ok, 16);
    if (!ok || mask > 0xFF)
        fail(QStringLiteral("--mask wants a hex value from 00 to FF"));

    const double eraseMs = parser.value(eraseOption).toDouble(&ok);
    if (!ok || eraseMs < 0)
        fail(QStringLiteral("--erase-ms wants a number of 0 or more"));

    hub.setSpeedFactor(speed);
    hub.setEraseMs(eraseMs);
    hub.setStreamDuringHandshake(!parser.isSet(kindOption));
    hub.setMask(quint8(mask));
    hub.setDisplayMode(parser.isSet(textOption) ? 'T' : 'B');
    hub.setOperatingMode(parser.isSet(preciseOption) ? 'P' : 'F');
    hub.setStartInBootLoader(parser.isSet(bootOption));
    link = parser.value(linkOption);
    imageFile = parser.value(saveOption);
}

// The link to the port, if one was asked for and could be made.
bool makeLink(const QString &port, const QString &link)
{
    bool linked = false;
    if (!link.isEmpty()) {
        const QByteArray linkPath = QFile::encodeName(link);
        const QFileInfo existing(link);
        if (existing.exists() || existing.isSymLink())
            ::unlink(linkPath.constData());
        linked = ::symlink(QFile::encodeName(port).constData(), linkPath.constData()) == 0;
        if (!linked)
            std::fprintf(stderr, "pellix-hubsim: cannot make %s: %s\n", linkPath.constData(), std::strerror(errno));
    }

    if (linked)
        std::printf("Simulated Pellix hub on %s (also %s): type that path into the Port box.\n",
                    qPrintable(port), qPrintable(link));
    else
        std::printf("Simulated Pellix hub on %s: type that path into the Port box.\n", qPrintable(port));
    std::fflush(stdout);

    return linked;
}

// Until a stop signal comes or the hub's port is gone.
void serve(HubSimulator &hub, const QString &imageFile, const sigset_t &stopSignals)
{
    bool wasFinished = hub.sessionFinished();
    const timespec tick{0, 100 * 1000 * 1000};
    for (;;) {
        if (sigtimedwait(&stopSignals, nullptr, &tick) > 0)
            break;
        const bool finished = hub.sessionFinished();
        if (finished && !wasFinished) {
            const QByteArray image = hub.receivedImage();
            std::printf("Firmware upgrade finished: %lld bytes received.\n",
                        static_cast<long long>(image.size()));
            if (!imageFile.isEmpty()) {
                QFile out(imageFile);
                if (out.open(QIODevice::WriteOnly) && out.write(image) == image.size())
                    std::printf("Image written to %s.\n", qPrintable(imageFile));
                else
                    std::fprintf(stderr, "pellix-hubsim: cannot write %s: %s\n", qPrintable(imageFile),
                                 qPrintable(out.errorString()));
            }
            std::fflush(stdout);
        }
        wasFinished = finished;
        if (hub.closed())
            break;
    }
}

int main(int argc, char **argv)
{
    // SIGINT and SIGTERM are taken with sigtimedwait() below; block them before any thread
    // exists so that every thread inherits the mask and none of them is killed by one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pellix-hubsim"));

    HubSimulator hub;
    QString link;
    QString imageFile;
    configure(app, hub, link, imageFile);
    if (!hub.start())
        fail(QStringLiteral("cannot open a pseudo-terminal: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));

    const QString port = hub.portPath();
    const bool linked = makeLink(port, link);
    serve(hub, imageFile, stopSignals);

    hub.stop();
    // Only remove the link if it is still ours: another simulator may have taken the name.
    if (linked && pointsTo(link, port))
        ::unlink(QFile::encodeName(link).constData());
    return 0;
}
