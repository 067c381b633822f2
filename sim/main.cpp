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

// The simulated hub's options, for the parser and for reading them back.
struct SimSwitches
{
    const QCommandLineOption link{QStringLiteral("link"),
                                  QStringLiteral("Symbolic link to the port (default /tmp/pellix-hub; empty for none)."),
                                  QStringLiteral("path"), QStringLiteral("/tmp/pellix-hub")};
    const QCommandLineOption speed{QStringLiteral("speed"),
                                   QStringLiteral("Speed factor: 1 is 115200 baud, 10 ten times faster, 0 unpaced (default 1)."),
                                   QStringLiteral("factor"), QStringLiteral("1")};
    const QCommandLineOption text{QStringLiteral("text"), QStringLiteral("Start in text output.")};
    const QCommandLineOption binary{QStringLiteral("binary"), QStringLiteral("Start in binary output (default).")};
    const QCommandLineOption fast{QStringLiteral("fast"), QStringLiteral("Start in fast mode (default).")};
    const QCommandLineOption precise{QStringLiteral("precise"), QStringLiteral("Start in precise mode.")};
    const QCommandLineOption mask{QStringLiteral("mask"), QStringLiteral("Connected-sensor mask, two hex digits (default 0F)."),
                                  QStringLiteral("hex"), QStringLiteral("0F")};
    const QCommandLineOption boot{QStringLiteral("boot-loader"), QStringLiteral("Start in the boot loader.")};
    const QCommandLineOption save{QStringLiteral("save-image"),
                                  QStringLiteral("Write each firmware image received to this file."), QStringLiteral("file")};
    const QCommandLineOption kind{QStringLiteral("kind-handshake"),
                                  QStringLiteral("Pause the stream while the hub is asked who it is (a real hub does not).")};
    const QCommandLineOption erase{QStringLiteral("erase-ms"),
                                   QStringLiteral("How long the boot loader erases, in ms of the hub's pace (default 2500)."),
                                   QStringLiteral("ms"), QStringLiteral("2500")};
    const QCommandLineOption serial{QStringLiteral("serial"),
                                    QStringLiteral("The serial number the hub gives (default 1234): two hubs to tell apart."),
                                    QStringLiteral("text"), QStringLiteral("1234")};
    const QCommandLineOption sweep{QStringLiteral("sweep"),
                                   QStringLiteral("Readings that go through every 16-bit value, record by record.")};

    QList<QCommandLineOption> all() const
    {
        return {link, speed, text, binary, fast, precise, mask, boot, save, kind, erase, serial, sweep};
    }
};

// Sets hub up as the command line asks; the link's path goes to link, the
// file for received images to imageFile.
void configure(const QCoreApplication &app, HubSimulator &hub, QString &link, QString &imageFile)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves a simulated Pellix sensor hub on a pseudo-terminal until interrupted."));
    parser.addHelpOption();
    const SimSwitches o;
    parser.addOptions(o.all());
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(o.text) && parser.isSet(o.binary))
        fail(QStringLiteral("--text and --binary exclude each other"));
    if (parser.isSet(o.fast) && parser.isSet(o.precise))
        fail(QStringLiteral("--fast and --precise exclude each other"));

    bool ok = false;
    const double speed = parser.value(o.speed).toDouble(&ok);
    if (!ok || speed < 0)
        fail(QStringLiteral("--speed wants a number of 0 or more"));
    const uint mask = parser.value(o.mask).toUInt(&ok, 16);
    if (!ok || mask > 0xFF)
        fail(QStringLiteral("--mask wants a hex value from 00 to FF"));
    const double eraseMs = parser.value(o.erase).toDouble(&ok);
    if (!ok || eraseMs < 0)
        fail(QStringLiteral("--erase-ms wants a number of 0 or more"));
    // One field of the identification line, which is split at spaces.
    const QByteArray serial = parser.value(o.serial).toUtf8();
    if (serial.isEmpty() || serial.contains(' ') || serial.contains('\r') || serial.contains('\n'))
        fail(QStringLiteral("--serial wants a text without spaces or line ends"));

    hub.setSpeedFactor(speed);
    hub.setEraseMs(eraseMs);
    hub.setStreamDuringHandshake(!parser.isSet(o.kind));
    hub.setMask(quint8(mask));
    hub.setDisplayMode(parser.isSet(o.text) ? 'T' : 'B');
    hub.setOperatingMode(parser.isSet(o.precise) ? 'P' : 'F');
    hub.setStartInBootLoader(parser.isSet(o.boot));
    if (parser.isSet(o.serial))
        hub.setSerial(serial);
    if (parser.isSet(o.sweep))
        hub.setSweep();
    link = parser.value(o.link);
    imageFile = parser.value(o.save);
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
