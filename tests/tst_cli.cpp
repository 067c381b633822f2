// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-hubctl as a script meets it: the built program run as a process against a simulated hub
// served from this process. What it prints, the exit code it ends with and what reached the hub
// are checked; nothing of its code is linked in.
#include "testsupport.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What goes wrong around the program: the hub's faults, and PortHeld, another
// pellix-hubctl streaming from the hub through a link to its port.
enum class Fault { None, Silent, BootLoader, EraseRefused, SilentAfter3Blocks, NoIdentification, OddModeByte,
                   PortHeld };
// How a stream ends when not by its own options.
enum class Ending { Options, HubVanishes, Sigint, ReaderLeaves, HubPauses };
struct Result { int code = -1; QByteArray out, err; };

// One row of each table. A command line is split at spaces as a shell would,
// and run in {dir}, a directory of the test's own; {port} is the hub's pty and
// a last ">FILE" sends stdout there. A hub state such as "BF0F" is its output,
// mode and sensor mask. err: text found in stderr.
struct ExitCase { QString command; int code; QString out, err; Fault fault = Fault::None; };
struct SetCase { QString options; QByteArray before, sent, after; QString shown; };
struct StreamCase { QString options; char display; int code, rows; QString err; Ending ending = Ending::Options; };
struct FlashCase { qint64 size; QString options; int code; QString err; Fault fault = Fault::None; int signal = 0; };

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
    static const QRegularExpression summary(QStringLiteral("^stream: (\\d+) records in "),
                                            QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = summary.match(QString::fromUtf8(err));
    if (!m.hasMatch() || m.captured(1).toInt() != rows.size())
        return QStringLiteral("no summary of %1 rows: ").arg(rows.size()) + QString::fromUtf8(err);
    return QString();
}

// Reads fd until it has given this many lines, or, with lines 0, until it
// has been quiet for quietMs.
QByteArray readLines(int fd, int lines, int quietMs = 500)
{
    QByteArray text;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && (lines == 0 || text.count('\n') < lines)) {
        pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, lines == 0 ? quietMs : 100) <= 0) {
            if (lines == 0)
                break;
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        text.append(chunk, int(n));
    }
    return text;
}

// Sends the signal once stdout holds this many lines, well into the run;
// signal 0 only checks that the process is still there.
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
        if (!arguments.isEmpty() && arguments.last().startsWith(QLatin1Char('>')))
            process.setStandardOutputFile(arguments.takeLast().mid(1));
        process.setWorkingDirectory(dir->path());
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
        hub->setNoIdentification(fault == Fault::NoIdentification);
        if (fault == Fault::OddModeByte)
            hub->setDisplayMode('?');
        // A reply with a field that is not a letter of its own counts only from a hub that sends no
        // records: this one has been quiet since it was plugged in, nothing it sent before waits in the pty.
        if (!QByteArray("BT").contains(hub->displayMode()) || !QByteArray("FP").contains(hub->operatingMode())) {
            hub->setStreaming(false);
            QTest::qWait(50);
            const int fd = ::open(QFile::encodeName(hub->portPath()).constData(), O_RDWR | O_NOCTTY);
            QVERIFY(fd >= 0 && ::tcflush(fd, TCIFLUSH) == 0);
            ::close(fd);
        }
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
        const auto add = [](const ExitCase &c) {
            // In the order of Fault.
            static const char *const faults[] = {"", ", silent hub", ", boot loader", "", "", ", no identification",
                                                 ", odd mode byte", ", port held through a link"};
            QTest::newRow(qPrintable(c.command + QLatin1String(faults[int(c.fault)]))) << c;
        };
        add({"--help", 0, "Exit codes: 0 success, 64 usage, 66 no such port or file, 68 no such broker,", ""});
        add({"--version", 0, "pellix-hubctl ", ""});
        add({"--port {port} stream --help", 0, "Usage: pellix-hubctl [--port PORT] stream", ""});
        add({"--port {port} info", 0, "port: {port}\ndevice: PXHUB\nserial: A7-0042\nfirmware: 4.2.1\nfirmware_type: PRO\n"
                                      "output: binary\nmode: fast\nsensor_mask: A5\nsensors: 0,2,5,7\n", ""});
        add({"--port {port} info --json", 0, R"({"port":"{port}","device":"PXHUB","serial":"A7-0042","firmware":"4.2.1",)"
             R"("firmware_type":"PRO","output":"binary","mode":"fast","sensor_mask":"A5","sensors":[0,2,5,7]})", ""});
        // What the hub did not say is not made up.
        add({"--port {port} info --json", 0, R"({"port":"{port}","device":null,"serial":null,"firmware":null,)"
             R"("firmware_type":null,"output":"binary","mode":"fast","sensor_mask":"A5","sensors":[0,2,5,7]})", "",
             Fault::NoIdentification});
        add({"--port {port} info", 0, "device: unknown\nserial: unknown\nfirmware: unknown\nfirmware_type: unknown\n"
                                      "output: binary\n", "", Fault::NoIdentification});
        add({"--port {port} info --json", 0, R"({"port":"{port}","device":"PXHUB","serial":"A7-0042","firmware":"4.2.1",)"
             R"("firmware_type":"PRO","output":null,"mode":"fast","sensor_mask":"A5","sensors":[0,2,5,7]})", "",
             Fault::OddModeByte});
        add({"ports --json", 0, "[", ""});
        // Refused on its arguments alone, although the hub's port is named.
        add({"--port {port}", 64, "", "No command given."});
        add({"--port {port} frobnicate", 64, "", "No such command: frobnicate."});
        add({"--port", 64, "", "Missing value after '--port'. See"});
        add({"--port {port} info --bogus", 64, "", "Unknown option 'bogus'. See 'pellix-hubctl --help'."});
        add({"--port {port} info extra", 64, "", "Unexpected argument 'extra': info takes options only."});
        add({"--port {port} stream foo", 64, "", "Unexpected argument 'foo': stream takes options only."});
        add({"--port {port} stream --average 51", 64, "", "--average takes a whole number from 1 to 50."});
        for (const char *seconds : {"0.0001", "inf", "nan", "1e12"})
            add({QStringLiteral("--port {port} stream --duration ") + seconds, 64, "",
                 "--duration takes a number of seconds from 0.001 to 2000000."});
        add({"--port {port} stream --output {dir}/plain", 64, "", "{dir}/plain exists. Use --force to overwrite it."});
        add({"--port {port} set --timeout 8=10", 64, "", "--timeout takes SENSOR=MS, a sensor 0 to 7 and 0 to 999 ms: 8=10"});
        add({"--port {port} flash", 64, "", "flash takes one firmware file."});
        // The limits a run has when none is given.
        add({"--port {port} flash --help", 0, "--erase-timeout <MS>  Longest wait for the erase, in ms (60000).\n"
             "  --reply-timeout <MS>  Longest wait for the size and each block, in ms (5000).\n"
             "  --final-timeout <MS>  Longest wait for the end of the session, in ms (30000).\n", ""});
        add({"--port {port} flash {dir}/empty --reply-timeout 5 --final-timeout 0", 64, "",
             "--final-timeout takes a number of milliseconds above 0."});
        add({"--port {port} flash {dir}/empty --erase-timeout x", 64, "", "--erase-timeout takes a number of milliseconds"});
        add({"--port {port} flash {dir}/empty --max-size 0", 64, "", "--max-size takes a number of bytes from 1 to "});
        // The first option found wrong is the one said.
        add({"--port {port} set --output foo --mode bar", 64, "", "--output takes binary or text."});
        add({"--port {port} set --mode bar --sensors 0,,1", 64, "", "--mode takes fast or precise."});
        add({"--port {port} set --sensors 0,,1 --timeout 1", 64, "", "--sensors takes a hexadecimal mask such as 0F"});
        add({"--port {port} set --json", 64, "", "Nothing to set. Give --output, --mode, --sensors or --timeout."});
        add({"--port {port} stream --format xml --count 0", 64, "", "--format takes csv or jsonl."});
        add({"--port {port} stream --count 0 --average 0", 64, "", "--count takes a whole number above 0."});
        add({"ports extra", 64, "", "Unexpected argument 'extra': ports takes options only."});
        add({"--port {port} flash {dir}/empty", 66, "", "{dir}/empty is empty: there is nothing to flash."});
        // Every test machine is expected to have no port that names a Pellix hub.
        add({"info", 66, "", "No serial port looks like a Pellix hub (ports found: "});
        add({"PELLIX_PORT={port} info", 0, "port: {port}\n", ""});
        add({"PELLIX_PORT={dir}/nothing --port {port} info", 0, "serial: A7-0042\n", ""});
        add({"info --port {port}", 0, "port: {port}\n", ""});
        // A relative path is the current directory's, a link is followed.
        add({"--port sub/hub info", 0, "port: sub/hub\ndevice: PXHUB\n", ""});
        add({"--port {dir}/nothing info", 66, "", "No such port: {dir}/nothing."});
        // The file to write is left alone until there is a hub to record.
        add({"--port {dir}/nothing stream --output {dir}/plain --force", 66, "", "No such port: {dir}/nothing."});
        add({"--port {dir}/plain info", 74, "", "Cannot open {dir}/plain. Check the name"});
        add({"--port /dev/null stream", 74, "", "Cannot open /dev/null. Check the name"});
        add({"--port {port} info", 74, "", "Cannot open {port}: another program is using it.", Fault::PortHeld});
        add({"--port {port} info >/dev/full", 74, "", "Cannot write to standard output (No space left on device)."});
        add({"ports --json >/dev/full", 74, "", "Cannot write to standard output (No space left on device)."});
        add({"--port {port} set --mode precise >/dev/full", 74, "", "Cannot write to standard output (No space left on device)."});
        add({"--port {port} set --mode fast", 76, "", "No Pellix hub answered on {port}.", Fault::Silent});
        add({"--port {port} stream --count 1", 76, "", "The hub on {port} is in its boot loader.", Fault::BootLoader});
    }

    void exitCodes()
    {
        QFETCH(ExitCase, c);
        configure("BFA5", c.fault);
        writeFile(QStringLiteral("plain"), "not a serial port\n");
        writeFile(QStringLiteral("empty"), QByteArray());
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("sub")) && QFile::link(hub->portPath(), dir->filePath("sub/hub")));
        QProcess holder;
        if (c.fault == Fault::PortHeld) {
            holder.start(QStringLiteral(PELLIX_HUBCTL), {"--port", dir->filePath("sub/hub"), "stream"});
            interruptAfter(holder, 3, 0);
        }
        const Result result = run(c.command);
        if (c.fault == Fault::PortHeld) {
            ::kill(pid_t(holder.processId()), SIGINT);
            holder.waitForFinished(5000);
        }
        const QByteArray out = expand(c.out).toUtf8();
        const QJsonDocument json = QJsonDocument::fromJson(result.out);
        QVERIFY2(result.code == c.code, result.err.constData());
        // The stream that held the port went on undisturbed.
        QVERIFY(c.fault != Fault::PortHeld || (holder.exitStatus() == QProcess::NormalExit && holder.exitCode() == 130));
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
        // But an output the hub did not report is not taken for the one asked for.
        add({"--output text --mode fast", "?F0F", "TTT", "TF0F", "output: text\nmode: fast\n"});
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

    // rows: -1 for more than 50. A stream ends by its options unless the hub
    // vanishes after as many records as rows, it gets SIGINT after some 50 rows,
    // stdout's reader leaves after them, or the hub pauses for 6 s. err: text
    // found in stderr besides the summary. A file named by --output holds
    // "keep me\n" before the run.
    void stream_data()
    {
        QTest::addColumn<StreamCase>("c");
        const auto add = [](const char *name, const StreamCase &c) { QTest::newRow(name) << c; };
        add("csv, text", {"--count 5", 'T', 0, 5, ""});
        add("jsonl, --force overwrites", {"--output {dir}/rows --count 7 --format jsonl --force", 'B', 0, 7, ""});
        // Binary output has no zeros to start its history with: equal readings average to that from row one.
        add("--average 4, binary", {"--count 6 --average 4", 'B', 0, 6, ""});
        add("hub vanishes", {"", 'B', 74, 40, "The hub on {port} went away.", Ending::HubVanishes});
        add("SIGINT", {"", 'T', 130, -1, "", Ending::Sigint});
        // A reader that has all it wants ends the stream quietly; the summary counts what it got.
        add("reader leaves", {"", 'B', 0, -1, "", Ending::ReaderLeaves});
        add("stdout full", {"--format jsonl >/dev/full", 'B', 74, 0, "Cannot write the rows (No space left on device).",
                            Ending::Options});
        // Said once for the pause, which the stream outlives.
        add("hub pauses", {"--duration 7.5", 'B', 0, -1, "stream: no record from the hub on {port} for 5 s.",
                           Ending::HubPauses});
    }

    void stream()
    {
        QFETCH(StreamCase, c);
        const bool vanishes = c.ending == Ending::HubVanishes, file = c.options.contains(QLatin1String("--output"));
        configure(QByteArray(1, c.display) + "F0F");
        hub->setFixedReadings(readings({400, 800, 1200, 1600, 2000, 2400, 2800, 3200}));
        // Back to back when it vanishes, so that the last records arrive in one read.
        hub->setCyclePeriodMs(vanishes ? 0 : 20);
        hub->setStreaming(false);
        hub->setCloseAfterRecords(vanishes ? hub->recordsSent() + c.rows : -1);
        if (file)
            writeFile(QStringLiteral("rows"), "keep me\n");
        // The reader that leaves reads a pipe of the test's own: nothing it did
        // not read can hide in a buffer between.
        int pipe[2] = {-1, -1};
        QString options = c.options;
        if (c.ending == Ending::ReaderLeaves) {
            QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
            options += QStringLiteral(" >/proc/self/fd/%1").arg(pipe[1]);
        }
        QByteArray read;
        const Result result = run(QStringLiteral("--port {port} stream ") + options, [&](QProcess &process) {
            QVERIFY(streamOnceIdentified());
            if (c.ending == Ending::Sigint)
                interruptAfter(process, 51, SIGINT);
            if (c.ending == Ending::HubPauses) {
                QTest::qWait(300);
                hub->setStreaming(false);
                QTest::qWait(6000);
                hub->setStreaming(true);
            }
            if (c.ending == Ending::ReaderLeaves) {
                ::close(pipe[1]);
                read = readLines(pipe[0], 52);
                hub->setStreaming(false);
                read += readLines(pipe[0], 0);
                ::close(pipe[0]);
                hub->setStreaming(true);
            }
        });
        QVERIFY2(result.code == c.code && (!file || result.out.isEmpty()), result.err.constData());
        QFile written(dir->filePath(QStringLiteral("rows")));
        QVERIFY(!file || written.open(QIODevice::ReadOnly));
        QList<QStringList> rows;
        const QString error = streamed(file ? written.readAll() : c.ending == Ending::ReaderLeaves ? read : result.out,
                                       c.options.contains(QLatin1String("jsonl")), result.err, rows);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY2(c.rows < 0 ? rows.size() > 50 : rows.size() == c.rows, qPrintable(QString::number(rows.size())));
        QVERIFY(rows.isEmpty() || rows.first()[1] == QStringLiteral("0.000"));
        for (const QStringList &row : rows)
            QCOMPARE(row.mid(2).join(','), QStringLiteral("400,800,1200,1600,2000,2400,2800,3200"));
        QVERIFY2(c.err.isEmpty() ? result.err.count('\n') == 1
                                 : result.err.contains(expand(c.err).toUtf8()) && result.err.count('\n') == 2,
                 result.err.constData());
        QCOMPARE(result.err.count("no record from the hub"), c.ending == Ending::HubPauses ? 1 : 0);
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

    // code 66: refused before the hub hears a word. Images of a GiB and more
    // are sparse files.
    void flash_data()
    {
        QTest::addColumn<FlashCase>("c");
        const auto add = [](const char *name, const FlashCase &c) { QTest::newRow(name) << c; };
        const qint64 MiB = 1 << 20, GiB = 1 << 30;
        add("1001 bytes, --verify-reconnect", {1001, "--verify-reconnect", 0, "flash: Upgrade Finished. Please reconnect"});
        add("already in its boot loader", {1000, "", 0, "", Fault::BootLoader});
        add("erase refused", {1000, "", 76, "The upgrade did not finish after 0 of 1000 bytes.", Fault::EraseRefused});
        add("silent after 3 blocks", {1000, "--reply-timeout 300", 76, "did not finish after 32 of 1000 bytes.",
                                      Fault::SilentAfter3Blocks});
        // Each limit is its own: a reply given the erase's 9 s would outlast the bound below.
        add("silent after 3 blocks, every limit given",
            {1000, "--erase-timeout 9000 --reply-timeout 300 --final-timeout 9000", 76,
             "did not finish after 32 of 1000 bytes.", Fault::SilentAfter3Blocks});
        // The hub is then flashed again.
        add("SIGTERM", {8192, "", 130, "Interrupted after ", Fault::None, SIGTERM});
        add("SIGINT", {8192, "", 130, "Interrupted after ", Fault::None, SIGINT});
        add("8 MiB and a byte", {8 * MiB + 1, "", 66, "is 8388609 bytes, above the limit of 8388608 bytes"});
        add("4100 bytes, --max-size 4096", {4100, "--max-size 4096", 66, "is 4100 bytes, above the limit of 4096 bytes"});
        add("4100 bytes, --max-size 5K", {4100, "--max-size 5K", 0, ""});
        add("3 GiB", {3 * GiB, "", 66, "is 3221225472 bytes, "});
        add("5 GiB, --max-size 2000M", {5 * GiB, "--max-size 2000M", 66, "is 5368709120 bytes, over the 4 GiB"});
        // Flashed all the same: the progress is lost, not the hub.
        add("stdout full", {1000, ">/dev/full", 74, "Cannot write to standard output (No space left on device)."});
    }

    void flash()
    {
        QFETCH(FlashCase, c);
        QByteArray bytes;
        if (c.size < (1 << 30)) {
            for (qint64 i = 0; i < c.size; ++i)
                bytes += char((i * 131 + i / 256) & 0xFF);
            writeFile(QStringLiteral("image.bin"), bytes);
        } else {
            QFile sparse(dir->filePath(QStringLiteral("image.bin")));
            QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(c.size));
        }
        configure("BF0F", c.fault);
        const QDeadlineTimer bound(8000);
        const QString command = QStringLiteral("--port {port} flash {dir}/image.bin ") + c.options;
        const Result result = run(command, [&](QProcess &process) {
            if (c.signal)
                interruptAfter(process, 2, c.signal);
        });
        QVERIFY2(result.code == c.code && result.err.contains(expand(c.err).toUtf8()), result.err.constData());
        // Not a terminal: one line per 5 %, each saying what it says.
        static const QRegularExpression progress(QStringLiteral("^flash: (\\d+)% (\\d+)/(\\d+) bytes$"));
        QStringList lines = QString::fromUtf8(result.out).split('\n');
        QVERIFY(lines.takeLast().isEmpty() || result.out.isEmpty());
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
        if (c.code == 66) {
            QVERIFY(hub->received().isEmpty() && !hub->eraseRequested() && result.out.isEmpty());
        } else if (c.code == 0 || c.code == 74) {
            QVERIFY((last == 100 || c.code == 74) && hub->receivedImage() == bytes && hub->sessionFinished());
            QCOMPARE(hub->blockSizes().last(), int(c.size % 8 ? c.size % 8 : 8));
            QVERIFY2(c.options.contains("--verify-reconnect") ? lines.contains("serial: A7-0042") && lines.contains("firmware: 4.2.1")
                                                              : lines.isEmpty(),
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
        if (c.signal) {
            // The interrupt is the last word, not the session's error that it caused.
            QVERIFY2(!result.err.contains("Fatal") && result.err.endsWith("'pellix-hubctl flash FILE'.\n"),
                     result.err.constData());
            // Unplugged and plugged in again, the erased hub comes up in its boot
            // loader, and the advice given works.
            hub->setStartInBootLoader(false);
            hub->setStartInBootLoader(true);
            const Result again = run(command);
            QVERIFY2(again.code == 0, again.err.constData());
            QVERIFY(hub->receivedImage() == bytes && hub->sessionFinished());
        }
        // The bounded waits are the ones asked for, not the defaults.
        QVERIFY2(!bound.hasExpired(), qPrintable(QString::number(8000 - bound.remainingTime())));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
