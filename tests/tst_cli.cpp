// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-hubctl as a script meets it: the built program run as a process against a simulated hub
// served from this process. What it prints, the exit code it ends with and what reached the hub
// are checked; nothing of its code is linked in.
#include "testsupport.h"

#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

enum class Fault { None, Silent, BootLoader, EraseRefused, SilentAfter3Blocks };
struct Result { int code = -1; QByteArray out, err; };

// One row of each table. A command line is split at spaces as a shell would;
// {port} is the hub's pty and {dir} a directory of the test's own. A hub state
// such as "BF0F" is its output, mode and sensor mask. err: text found in stderr.
struct ExitCase { QString command; int code; QString out, err; Fault fault = Fault::None; };
struct SetCase { QString options; QByteArray before, sent, after; QString shown; };
struct StreamCase { QString options; char display; int code, rows; QString err; };
struct FlashCase { int size; QString options; int code; QString err; Fault fault = Fault::None; };

// The fields of each row of a stream, every line one whole row, and the one summary line on stderr
// that counts them; or what is wrong. A cut last row, a line without its '\n', is refused too.
QString streamed(const QByteArray &text, bool jsonl, const QByteArray &err, QList<QStringList> &rows)
{
    static const QRegularExpression whole(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,\\d+\\.\\d{3}(,-?\\d+){8}$"));
    static const QRegularExpression rawElapsed(QStringLiteral("\"elapsed_s\":([^,}]*)"));
    QList<QByteArray> lines = text.split('\n');
    if (!lines.takeLast().isEmpty())
        return QStringLiteral("the output ends inside a line: ") + QString::fromLatin1(text.right(80));
    if (!jsonl && (lines.isEmpty() || lines.takeFirst() != "time,elapsed_s,s0,s1,s2,s3,s4,s5,s6,s7"))
        return QStringLiteral("no CSV header");
    for (const QByteArray &line : lines) {
        QString fields = QString::fromLatin1(line);
        if (jsonl) {
            // As a CSV line, the elapsed time as written, not as QJsonValue reads it back.
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            fields = o.size() != 10 ? QString() : o.value("time").toString() + ',' + rawElapsed.match(fields).captured(1);
            for (int k = 0; k < 8; ++k)
                fields += ',' + QString::number(o.value(QStringLiteral("s%1").arg(k)).toDouble(qQNaN()));
        }
        const QStringList row = fields.split(',');
        if (!whole.match(fields).hasMatch() || (!rows.isEmpty() && row[1].toDouble() < rows.last()[1].toDouble()))
            return QStringLiteral("row %1 is not whole: %2").arg(rows.size()).arg(QString::fromLatin1(line));
        rows << row;
    }
    if (!err.startsWith(QStringLiteral("stream: %1 records in ").arg(rows.size()).toUtf8()))
        return QStringLiteral("no summary of %1 rows: ").arg(rows.size()) + QString::fromUtf8(err);
    return QString();
}

// Sends the signal once stdout holds this many lines, well into the run.
void interruptAfter(QProcess &process, int lines, int signal)
{
    const QDeadlineTimer deadline(10000);
    while (process.peek(1 << 24).count('\n') < lines && !deadline.hasExpired())
        process.waitForReadyRead(50);
    QVERIFY2(process.peek(1 << 24).count('\n') >= lines, process.peek(200).constData());
    QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
}

} // namespace

Q_DECLARE_METATYPE(ExitCase)
Q_DECLARE_METATYPE(SetCase)
Q_DECLARE_METATYPE(StreamCase)
Q_DECLARE_METATYPE(FlashCase)

class TestCli : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<HubSimulator> hub;
    std::unique_ptr<QTemporaryDir> dir;

    QString expand(QString text) const
    {
        return text.replace(QLatin1String("{port}"), hub->portPath()).replace(QLatin1String("{dir}"), dir->path());
    }

    // The program never finds a port in this test's own environment: only a
    // command that begins "PELLIX_PORT=..." sets it. What happens while it
    // runs is up to "during".
    Result run(const QString &command, const std::function<void(QProcess &)> &during = [](QProcess &) {}) const
    {
        QStringList arguments = expand(command).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("PELLIX_PORT"));
        environment.remove(QStringLiteral("PELLIX_USB_ID"));
        if (!arguments.isEmpty() && arguments.first().startsWith(QLatin1String("PELLIX_PORT=")))
            environment.insert(QStringLiteral("PELLIX_PORT"), arguments.takeFirst().section('=', 1));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(PELLIX_HUBCTL), arguments);
        during(process);
        if (!process.waitForFinished(20000))
            process.kill();
        process.waitForFinished();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

    void writeFile(const QString &name, const QByteArray &content) const
    {
        QFile file(dir->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size());
    }

    // A hub kept quiet until the program has asked who it is streams from then
    // on: every record it sends the program must write.
    bool streamOnceIdentified()
    {
        const bool identified = hub->waitForReceived(6, 10000) && hub->received().contains("RRI");
        hub->setStreaming(true);
        return identified;
    }

    void configure(const QByteArray &state, Fault fault = Fault::None)
    {
        hub->setDisplayMode(state[0]);
        hub->setOperatingMode(state[1]);
        hub->setMask(quint8(state.mid(2).toInt(nullptr, 16)));
        hub->setSilent(fault == Fault::Silent);
        hub->setStartInBootLoader(fault == Fault::BootLoader);
        hub->setEraseReply(fault == Fault::EraseRefused ? 'Z' : 0x01);
        hub->setBootLoaderSilentAfter(fault == Fault::SilentAfter3Blocks ? 3 : -1);
        hub->clearReceived();
    }

    // As configure() takes it, then the sensor timeouts set: "BF0F 2=40 7=999".
    QByteArray state() const
    {
        QByteArray text = QByteArray(1, hub->displayMode()) + hub->operatingMode()
                          + QByteArray::number(0x100 | hub->mask(), 16).mid(1).toUpper();
        for (int k = 0; k < 8; ++k)
            if (hub->sensorTimeout(k) >= 0)
                text += ' ' + QByteArray::number(k) + '=' + QByteArray::number(hub->sensorTimeout(k));
        return text;
    }

private slots:
    // Each test a hub and a directory of its own; the last test's go here.
    void init()
    {
        hub = std::make_unique<HubSimulator>();
        QVERIFY(hub->start());
        hub->setSpeedFactor(10);
        hub->setCyclePeriodMs(20);
        hub->setIdentity("A7-0042", "4.2.1", "PRO");
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
    }

    // With the hub at "BFA5". out and err: text found in stdout and stderr, JSON
    // compared as JSON and "[" any array; empty: nothing written there.
    void exitCodes_data()
    {
        QTest::addColumn<ExitCase>("c");
        const auto add = [](const ExitCase &c) { QTest::newRow(qPrintable(c.command)) << c; };
        add({"--help", 0, "Exit codes: 0 success, 64 usage, 66 no such port or file, 74 port cannot be", ""});
        add({"--version", 0, "pellix-hubctl ", ""});
        add({"--port {port} stream --help", 0, "Usage: pellix-hubctl [--port PORT] stream", ""});
        add({"--port {port} info", 0, "port: {port}\ndevice: PXHUB\nserial: A7-0042\nfirmware: 4.2.1\nfirmware_type: PRO\n"
                                      "output: binary\nmode: fast\nsensor_mask: A5\nsensors: 0,2,5,7\n", ""});
        add({"--port {port} info --json", 0, R"({"port":"{port}","device":"PXHUB","serial":"A7-0042","firmware":"4.2.1",)"
             R"("firmware_type":"PRO","output":"binary","mode":"fast","sensor_mask":"A5","sensors":[0,2,5,7]})", ""});
        add({"ports --json", 0, "[", ""});
        // Refused on its arguments alone, although the hub's port is named.
        add({"--port {port}", 64, "", "No command given."});
        add({"--port {port} frobnicate", 64, "", "No such command: frobnicate."});
        add({"--port", 64, "", "Missing value after '--port'. See"});
        add({"--port {port} info --bogus", 64, "", "Unknown option 'bogus'. See 'pellix-hubctl --help'."});
        add({"--port {port} stream --average 51", 64, "", "--average takes a whole number from 1 to 50."});
        add({"--port {port} stream --output {dir}/plain", 64, "", "{dir}/plain exists. Use --force to overwrite it."});
        add({"--port {port} set --timeout 8=10", 64, "", "--timeout takes SENSOR=MS, a sensor 0 to 7 and 0 to 999 ms: 8=10"});
        add({"--port {port} flash", 64, "", "flash takes one firmware file."});
        add({"--port {port} flash {dir}/empty", 66, "", "{dir}/empty is empty: there is nothing to flash."});
        // Every test machine is expected to have no port that names a Pellix hub.
        add({"info", 66, "", "No serial port looks like a Pellix hub (ports found: "});
        add({"PELLIX_PORT={port} info", 0, "port: {port}\n", ""});
        add({"PELLIX_PORT={dir}/nothing --port {port} info", 0, "serial: A7-0042\n", ""});
        add({"info --port {port}", 0, "port: {port}\n", ""});
        add({"--port {dir}/nothing info", 66, "", "No such port: {dir}/nothing."});
        add({"--port {dir}/plain info", 74, "", "Cannot open {dir}/plain. Check the name"});
        add({"--port /dev/null stream", 74, "", "Cannot open /dev/null. Check the name"});
        add({"--port {port} set --mode fast", 76, "", "No Pellix hub answered on {port}.", Fault::Silent});
        add({"--port {port} stream --count 1", 76, "", "The hub on {port} is in its boot loader.", Fault::BootLoader});
    }

    void exitCodes()
    {
        QFETCH(ExitCase, c);
        configure("BFA5", c.fault);
        writeFile(QStringLiteral("plain"), "not a serial port\n");
        writeFile(QStringLiteral("empty"), QByteArray());
        const Result result = run(c.command);
        const QByteArray out = expand(c.out).toUtf8();
        const QJsonDocument json = QJsonDocument::fromJson(result.out);
        QVERIFY2(result.code == c.code, result.err.constData());
        QVERIFY2(out.isEmpty() ? result.out.isEmpty()
                 : out == "[" ? json.isArray()
                 : out.startsWith('{') ? json == QJsonDocument::fromJson(out) && result.out.count('\n') == 1
                                       : result.out.contains(out),
                 result.out.constData());
        // An error is one plain sentence on one line.
        QVERIFY2(c.err.isEmpty() ? result.err.isEmpty()
                                 : result.err.contains(expand(c.err).toUtf8()) && result.err.count('\n') == 1
                                       && !result.err.contains(".."),
                 result.err.constData());
        // A command that ends on its arguments has nothing to tell the hub, nor any file to write.
        QVERIFY((c.code != 64 && c.code != 66) || hub->received().isEmpty());
        QFile plain(dir->filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::ReadOnly) && plain.readAll() == "not a serial port\n");
    }

    // What reached the hub besides the two handshakes, its state after as
    // state() shows it, and some of what is printed.
    void set_data()
    {
        QTest::addColumn<SetCase>("c");
        const auto add = [](const SetCase &c) { QTest::newRow(qPrintable(c.options)) << c; };
        add({"--output text --mode precise --sensors f0 --timeout 4=5 --json", "BF0F", "TTTPPPCF0T4005", "TPF0 4=5",
             "\"mode\":\"precise\",\"output\":\"text\""});
        add({"--output binary --mode fast --sensors 0,1,7", "TP0F", "BBBFFFC83", "BF83", "sensor_mask: 83\nsensors: 0,1,7\n"});
        add({"--timeout 0=0 --timeout 7=999", "BP0F", "T0000T7999", "BP0F 0=0 7=999", "sensors: 0,1,2,3\n"});
        // The window sends nothing for a control that already shows the hub's state.
        add({"--output text --mode precise --sensors A5", "TPA5", "", "TPA5", "sensor_mask: A5\n"});
    }

    void set()
    {
        QFETCH(SetCase, c);
        configure(c.before);
        const Result result = run(QStringLiteral("--port {port} set ") + c.options);
        QVERIFY2(result.code == 0 && result.err.isEmpty() && result.out.contains(c.shown.toUtf8()),
                 (result.err + result.out).constData());
        QCOMPARE(state(), c.after);
        // The configuration is read back on a second connection.
        QCOMPARE(hub->received(), "HCFRRI" + c.sent + "HCFRRI");
    }

    // rows: -1 for a stream stopped by SIGINT after some 50; code 74: the hub
    // vanishes after as many records as rows. err: text found in stderr after the
    // summary. A file named by --output holds "keep me\n" before the run.
    void stream_data()
    {
        QTest::addColumn<StreamCase>("c");
        const auto add = [](const char *name, const StreamCase &c) { QTest::newRow(name) << c; };
        add("csv, text", {"--count 5", 'T', 0, 5, ""});
        add("jsonl, --force overwrites", {"--output {dir}/rows --count 7 --format jsonl --force", 'B', 0, 7, ""});
        // Binary output has no zeros to start its history with: equal readings average to that from row one.
        add("--average 4, binary", {"--count 6 --average 4", 'B', 0, 6, ""});
        add("hub vanishes", {"", 'B', 74, 40, "The hub on {port} went away."});
        add("SIGINT", {"", 'T', 130, -1, ""});
    }

    void stream()
    {
        QFETCH(StreamCase, c);
        const bool vanishes = c.code == 74, file = c.options.contains(QLatin1String("--output"));
        configure(QByteArray(1, c.display) + "F0F");
        hub->setFixedReadings(readings({400, 800, 1200, 1600, 2000, 2400, 2800, 3200}));
        // Back to back when it vanishes, so that the last records arrive in one read.
        hub->setCyclePeriodMs(vanishes ? 0 : 20);
        hub->setStreaming(false);
        hub->setCloseAfterRecords(vanishes ? hub->recordsSent() + c.rows : -1);
        if (file)
            writeFile(QStringLiteral("rows"), "keep me\n");
        const Result result = run(QStringLiteral("--port {port} stream ") + c.options, [&](QProcess &process) {
            QVERIFY(streamOnceIdentified());
            if (c.code == 130)
                interruptAfter(process, 51, SIGINT);
        });
        QVERIFY2(result.code == c.code && (!file || result.out.isEmpty()), result.err.constData());
        QFile written(dir->filePath(QStringLiteral("rows")));
        QVERIFY(!file || written.open(QIODevice::ReadOnly));
        QList<QStringList> rows;
        const QString error = streamed(file ? written.readAll() : result.out,
                                       c.options.contains(QLatin1String("jsonl")), result.err, rows);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY2(c.rows < 0 ? rows.size() > 50 : rows.size() == c.rows, qPrintable(QString::number(rows.size())));
        QCOMPARE(rows.first()[1], QStringLiteral("0.000"));
        for (const QStringList &row : rows)
            QCOMPARE(row.mid(2).join(','), QStringLiteral("400,800,1200,1600,2000,2400,2800,3200"));
        QVERIFY2(c.err.isEmpty() ? result.err.count('\n') == 1 : result.err.contains(expand(c.err).toUtf8()),
                 result.err.constData());
    }

    void streamKeepsEveryRecord_data()
    {
        QTest::addColumn<char>("display");
        QTest::addColumn<bool>("hubStopsFirst");
        for (const bool hubStopsFirst : {true, false})
            for (const char display : {'B', 'T'})
                QTest::addRow("%s, the %s stops first", display == 'B' ? "binary" : "text",
                              hubStopsFirst ? "hub" : "program") << display << hubStopsFirst;
    }

    // Ten times the wire's rate, records back to back, each one numbered by its place in the script: a
    // row lost, doubled or out of order shows. Binary frames keep 'C' out of their readings, as the
    // hub's own scene does: inside a frame it could pass for the start of a configuration reply.
    void streamKeepsEveryRecord()
    {
        QFETCH(char, display);
        QFETCH(bool, hubStopsFirst);
        QVector<HubSimulator::Readings> script;
        for (int v = 1; script.size() < 3000; ++v)
            if ((v & 0xFF) != 'C' && (v >> 8) != 'C')
                script << readings({v, 1000, 2000, 3000, 4000, 5000, 6000, 7000 + int(script.size() % 7)});
        configure(QByteArray(1, display) + "F0F");
        hub->setStreaming(false);
        hub->setScript(script);
        hub->setCyclePeriodMs(0);
        const int base = hub->recordsSent();
        const Result result = run(QStringLiteral("--port {port} stream --duration ") + (hubStopsFirst ? "3" : "2"),
                                  [&](QProcess &) {
            QVERIFY(streamOnceIdentified());
            if (hubStopsFirst) {
                QTest::qWait(1500);
                hub->setStreaming(false);
            }
        });
        const int sent = hub->recordsSent() - base;
        QVERIFY2(result.code == 0, result.err.constData());
        QList<QStringList> rows;
        const QString error = streamed(result.out, false, result.err, rows);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        for (int r = 0; r < rows.size(); ++r)
            QVERIFY2(rows[r][2].toInt() == script[r % script.size()][0], qPrintable(rows[r].join(',')));
        // Well over a thousand records a second at this pace. What the hub wrote
        // after the program's last read is still in the pty, which holds some 68 KiB.
        const bool kept = hubStopsFirst ? rows.size() == sent
                                        : rows.size() <= sent && (sent - rows.size()) * (display == 'B' ? 19 : 40) <= 68 * 1024;
        QVERIFY2(rows.size() > 1000 && kept,
                 qPrintable(QStringLiteral("%1 rows of %2 records").arg(rows.size()).arg(sent)));
    }

    void flash_data()
    {
        QTest::addColumn<FlashCase>("c");
        const auto add = [](const char *name, const FlashCase &c) { QTest::newRow(name) << c; };
        add("1001 bytes, --verify-reconnect", {1001, "--verify-reconnect", 0, "flash: Upgrade Finished. Please reconnect"});
        add("already in its boot loader", {1000, "", 0, "", Fault::BootLoader});
        add("erase refused", {1000, "", 76, "The upgrade did not finish after 0 of 1000 bytes.", Fault::EraseRefused});
        add("silent after 3 blocks", {1000, "--reply-timeout 300", 76, "did not finish after 32 of 1000 bytes.",
                                      Fault::SilentAfter3Blocks});
        add("SIGTERM", {64 * 1024, "", 130, "Interrupted after "});
    }

    void flash()
    {
        QFETCH(FlashCase, c);
        QByteArray bytes;
        for (int i = 0; i < c.size; ++i)
            bytes += char((i * 131 + i / 256) & 0xFF);
        writeFile(QStringLiteral("image.bin"), bytes);
        configure("BF0F", c.fault);
        const QDeadlineTimer bound(8000);
        const Result result = run(QStringLiteral("--port {port} flash {dir}/image.bin ") + c.options, [&](QProcess &process) {
            if (c.code == 130)
                interruptAfter(process, 2, SIGTERM);
        });
        QVERIFY2(result.code == c.code && result.err.contains(expand(c.err).toUtf8()), result.err.constData());
        // Not a terminal: one line per 5 %, each saying what it says.
        static const QRegularExpression progress(QStringLiteral("^flash: (\\d+)% (\\d+)/(\\d+) bytes$"));
        QStringList lines = QString::fromUtf8(result.out).split('\n');
        QVERIFY(lines.takeLast().isEmpty());
        int last = -1, lastSent = 0;
        for (; !lines.isEmpty() && lines.first().startsWith(QLatin1String("flash: ")); lines.removeFirst()) {
            const QRegularExpressionMatch m = progress.match(lines.first());
            const int percent = m.captured(1).toInt(), sent = m.captured(2).toInt();
            QVERIFY2(m.hasMatch() && m.captured(3).toInt() == c.size && percent == int(qint64(sent) * 100 / c.size)
                         && percent > last && sent > lastSent && sent <= c.size,
                     qPrintable(lines.first()));
            last = percent;
            lastSent = sent;
        }
        if (c.code == 0) {
            QVERIFY(last == 100 && hub->receivedImage() == bytes && hub->sessionFinished());
            QCOMPARE(hub->blockSizes().last(), c.size % 8 ? c.size % 8 : 8);
            QVERIFY2(c.options.isEmpty() ? lines.isEmpty()
                                         : lines.contains("serial: A7-0042") && lines.contains("firmware: 4.2.1"),
                     result.out.constData());
        } else {
            // Stopped after as many bytes as it says, no fewer than it showed,
            // the hub holding no more and at most one block less.
            static const QRegularExpression stopped(QStringLiteral("after (\\d+) of (\\d+) bytes"));
            const QRegularExpressionMatch m = stopped.match(QString::fromUtf8(result.err));
            const int sent = m.captured(1).toInt(), received = hub->receivedImage().size();
            QVERIFY2(m.hasMatch() && m.captured(2).toInt() == c.size && sent >= lastSent, result.err.constData());
            QVERIFY2(received >= sent - 8 && received <= sent && bytes.startsWith(hub->receivedImage()),
                     qPrintable(QString::number(received)));
            QVERIFY(hub->eraseRequested() && !hub->sessionFinished() && lines.isEmpty());
        }
        // The bounded waits are the ones asked for, not the defaults.
        QVERIFY2(!bound.hasExpired(), qPrintable(QString::number(8000 - bound.remainingTime())));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
