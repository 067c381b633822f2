// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-hubctl as a script meets it: the built program run as a process
// against a simulated hub served from this process. What it prints, the exit
// code it ends with and what reached the hub are checked; nothing of its code
// is linked in.
#include "testsupport.h"

#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

const QString Program = QStringLiteral(PELLIX_HUBCTL);

enum class Fault { None, Silent, BootLoader };

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// One parsed output row; every line of a stream must make one.
struct Row
{
    double elapsed = 0;
    std::array<int, 8> values {};
};

QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// A cut last row would be a line without its '\n': refused like any other
// malformed line.
bool parseRows(const QByteArray &text, bool jsonl, QList<Row> &rows, QString &error)
{
    static const QRegularExpression time(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
    static const QRegularExpression elapsed(QStringLiteral("^\\d+\\.\\d{3}$"));
    if (!text.isEmpty() && !text.endsWith('\n')) {
        error = QStringLiteral("the output ends inside a line: ") + QString::fromLatin1(text.right(80));
        return false;
    }
    QList<QByteArray> lines = linesOf(text);
    if (!jsonl) {
        if (lines.isEmpty() || lines.takeFirst() != "time,elapsed_s,s0,s1,s2,s3,s4,s5,s6,s7") {
            error = QStringLiteral("no CSV header");
            return false;
        }
    }
    for (const QByteArray &line : lines) {
        QStringList fields;
        if (jsonl) {
            // The number as written, not as QJsonValue reads it back.
            static const QRegularExpression rawElapsed(QStringLiteral("\"elapsed_s\":([^,}]*)"));
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.size() == 10 && object.value(QLatin1String("time")).isString()) {
                fields << object.value(QLatin1String("time")).toString()
                       << rawElapsed.match(QString::fromLatin1(line)).captured(1);
                for (int k = 0; k < 8; ++k) {
                    const QJsonValue v = object.value(QStringLiteral("s%1").arg(k));
                    fields << (v.isDouble() && v.toDouble() == v.toInt() ? QString::number(v.toInt()) : QString());
                }
            }
        } else {
            fields = QString::fromLatin1(line).split(QLatin1Char(','));
        }
        Row row;
        bool ok = fields.size() == 10 && time.match(fields[0]).hasMatch() && elapsed.match(fields[1]).hasMatch();
        row.elapsed = fields.value(1).toDouble();
        for (int k = 0; ok && k < 8; ++k)
            row.values[k] = fields[k + 2].toInt(&ok);
        if (!ok || (!rows.isEmpty() && row.elapsed < rows.last().elapsed)) {
            error = QStringLiteral("row %1 is not whole: %2").arg(rows.size()).arg(QString::fromLatin1(line));
            return false;
        }
        rows << row;
    }
    return true;
}

// Binary frames keep 'C' out of their readings, as the hub's own scene does:
// inside a frame it could pass for the start of a configuration reply.
QVector<int> frameSafeValues(int n)
{
    QVector<int> values;
    for (int v = 1; values.size() < n; ++v)
        if ((v & 0xFF) != 'C' && (v >> 8) != 'C')
            values << v;
    return values;
}

const HubSimulator::Readings Fixed = readings({400, 800, 1200, 1600, 2000, 2400, 2800, 3200});

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestCli : public QObject
{
    Q_OBJECT

private:
    HubSimulator *hub = nullptr;
    QTemporaryDir *dir = nullptr;

    QString expand(QString text) const
    {
        return text.replace(QLatin1String("{port}"), hub->portPath()).replace(QLatin1String("{dir}"), dir->path());
    }
    QStringList expand(QStringList list) const
    {
        for (QString &s : list)
            s = expand(s);
        return list;
    }

    // The program never finds a port in this test's own environment: only a
    // row that means to set PELLIX_PORT does.
    void start(QProcess &process, const QStringList &arguments, const QString &envPort = QString()) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("PELLIX_PORT"));
        environment.remove(QStringLiteral("PELLIX_USB_ID"));
        if (!envPort.isEmpty())
            environment.insert(QStringLiteral("PELLIX_PORT"), expand(envPort));
        process.setProcessEnvironment(environment);
        process.start(Program, expand(arguments));
    }

    static Result finish(QProcess &process, int timeoutMs = 20000)
    {
        Result result;
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished();
            result.code = -2;
        } else if (process.exitStatus() == QProcess::NormalExit) {
            result.code = process.exitCode();
        }
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    Result run(const QStringList &arguments, const QString &envPort = QString(), int timeoutMs = 20000) const
    {
        QProcess process;
        start(process, arguments, envPort);
        return finish(process, timeoutMs);
    }

    void writeFile(const QString &name, const QByteArray &content) const
    {
        QFile file(dir->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), qint64(content.size()));
    }

    QByteArray readFile(const QString &name) const
    {
        QFile file(dir->filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QByteArray image(int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            bytes[i] = char((i * 131 + i / 256) & 0xFF);
        return bytes;
    }

    // Until the program has asked the hub who it is. A hub kept quiet until
    // then sends only records that the program must write.
    bool quietUntilIdentified()
    {
        return hub->waitForReceived(6, 10000) && hub->received().contains("RRI");
    }

private slots:
    void init()
    {
        hub = new HubSimulator;
        QVERIFY(hub->start());
        hub->setSpeedFactor(10);
        hub->setCyclePeriodMs(20);
        hub->setIdentity("A7-0042", "4.2.1", "PRO");
        dir = new QTemporaryDir;
        QVERIFY(dir->isValid());
        writeFile(QStringLiteral("plain"), "not a serial port\n");
        writeFile(QStringLiteral("image.bin"), image(1000));
    }

    void cleanup()
    {
        delete hub;
        hub = nullptr;
        delete dir;
        dir = nullptr;
    }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("envPort");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");   // a part of stdout; empty: stdout is empty
        QTest::addColumn<QString>("err");   // a part of stderr; empty: stderr is empty
        const QStringList port{QStringLiteral("--port"), QStringLiteral("{port}")};
        const auto add = [](const char *name, const QStringList &arguments, int code, const char *out,
                            const char *err, Fault fault = Fault::None, const char *envPort = "") {
            QTest::newRow(name) << arguments << QString(envPort) << fault << code << QString(out) << QString(err);
        };
        // Refused on its arguments alone, although the hub's port is named.
        const auto usage = [&](const QStringList &arguments, const char *err) {
            QTest::addRow("usage: %s", qPrintable(arguments.join(' ')))
                << (port + arguments) << QString() << Fault::None << 64 << QString() << QString(err);
        };

        add("help", {"--help"}, 0, "Exit codes: 0 success, 64 usage, 66 no such port or file, 74 port cannot be", "");
        add("version", {"--version"}, 0, "pellix-hubctl ", "");
        for (const char *command : {"ports", "info", "stream", "set", "flash"})
            QTest::addRow("%s --help", command) << (port + QStringList{command, "--help"}) << QString() << Fault::None
                                                << 0 << QStringLiteral("Usage: pellix-hubctl [--port PORT] %1").arg(command)
                                                << QString();
        usage({}, "No command given.");
        usage({"frobnicate"}, "No such command: frobnicate.");
        usage({"info", "--bogus"}, "Unknown option 'bogus'. See 'pellix-hubctl --help'.");
        add("usage: --port without a value", {"--port"}, 64, "", "Missing value after '--port'. See");
        usage({"stream", "--format", "xml"}, "--format takes csv or jsonl.");
        usage({"stream", "--count", "0"}, "--count takes a whole number above 0.");
        usage({"stream", "--count", "ten"}, "--count takes");
        usage({"stream", "--duration", "0"}, "--duration takes a number of seconds above 0.");
        usage({"stream", "--average", "51"}, "--average takes a whole number from 1 to 50.");
        usage({"stream", "--average", "0"}, "--average takes");
        usage({"set"}, "Nothing to set.");
        usage({"set", "--output", "hex"}, "--output takes binary or text.");
        usage({"set", "--mode", "slow"}, "--mode takes fast or precise.");
        usage({"set", "--sensors", "1FF"}, "--sensors takes");
        usage({"set", "--sensors", "0,8"}, "--sensors takes");
        usage({"set", "--timeout", "8=10"}, "--timeout takes SENSOR=MS, a sensor 0 to 7 and 0 to 999 ms: 8=10 is not.");
        usage({"set", "--timeout", "1=1000"}, "1=1000 is not.");
        usage({"set", "--timeout", "1"}, "1 is not.");
        usage({"flash"}, "flash takes one firmware file.");
        usage({"flash", "{dir}/image.bin", "--reply-timeout", "0"}, "--reply-timeout takes a number of milliseconds above 0.");

        // Every test machine is expected to have no port that names a Pellix hub.
        add("no port named, none found", {"info"}, 66, "", "No serial port looks like a Pellix hub (ports found: ");
        add("PELLIX_PORT names the hub", {"info"}, 0, "port: {port}\n", "", Fault::None, "{port}");
        add("--port before PELLIX_PORT", port + QStringList{"info"}, 0, "serial: A7-0042\n", "", Fault::None,
            "{dir}/nothing");
        add("--port after the command", QStringList{"info"} + port, 0, "port: {port}\n", "");
        add("PELLIX_PORT that does not exist", {"info"}, 66, "", "No such port: {dir}/nothing.", Fault::None,
            "{dir}/nothing");
        add("port that does not exist", {"--port", "{dir}/nothing", "info"}, 66, "", "No such port: {dir}/nothing.");
        add("port name without a directory", {"--port", "ttyPELLIXNONE", "stream"}, 66, "",
            "No such port: ttyPELLIXNONE.");
        add("regular file as port", {"--port", "{dir}/plain", "info"}, 74, "", "Cannot open {dir}/plain. Check the name");
        add("/dev/null as port", {"--port", "/dev/null", "stream"}, 74, "", "Cannot open /dev/null. Check the name");
        add("silent hub", port + QStringList{"info"}, 76, "", "No Pellix hub answered on {port}.", Fault::Silent);
        add("boot loader: info", port + QStringList{"info", "--json"}, 76, "",
            "The hub on {port} is in its boot loader.", Fault::BootLoader);
        add("boot loader: stream", port + QStringList{"stream", "--count", "1"}, 76, "", "is in its boot loader.",
            Fault::BootLoader);
        add("boot loader: set", port + QStringList{"set", "--mode", "fast"}, 76, "", "is in its boot loader.",
            Fault::BootLoader);
    }

    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, envPort);
        QFETCH(Fault, fault);
        QFETCH(int, code);
        QFETCH(QString, out);
        QFETCH(QString, err);
        hub->setSilent(fault == Fault::Silent);
        hub->setStartInBootLoader(fault == Fault::BootLoader);
        hub->clearReceived();

        const Result result = run(arguments, envPort);
        QVERIFY2(result.code == code, result.err.constData());
        if (out.isEmpty())
            QVERIFY2(result.out.isEmpty(), result.out.constData());
        else
            QVERIFY2(result.out.contains(expand(out).toUtf8()), result.out.constData());
        if (err.isEmpty()) {
            QVERIFY2(result.err.isEmpty(), result.err.constData());
        } else {
            QVERIFY2(result.err.contains(expand(err).toUtf8()), result.err.constData());
            // One plain sentence on one line.
            QCOMPARE(result.err.count('\n'), 1);
            QVERIFY2(!result.err.contains(".."), result.err.constData());
        }
        // A command that ends on its arguments has nothing to tell the hub.
        if (code == 64 || code == 66)
            QCOMPARE(hub->received(), QByteArray());
    }

    void info_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<char>("mode");
        QTest::addColumn<char>("display");
        QTest::addColumn<bool>("json");
        QTest::addColumn<QString>("modeName");
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<QString>("maskText");
        QTest::addColumn<QList<int>>("sensors");
        QTest::newRow("fast, binary, lines") << 0xA5 << 'F' << 'B' << false << "fast" << "binary" << "A5"
                                             << QList<int>{0, 2, 5, 7};
        QTest::newRow("precise, text, lines") << 0x00 << 'P' << 'T' << false << "precise" << "text" << "00"
                                              << QList<int>{};
        QTest::newRow("precise, text, json") << 0x80 << 'P' << 'T' << true << "precise" << "text" << "80"
                                             << QList<int>{7};
        QTest::newRow("fast, binary, json") << 0xFF << 'F' << 'B' << true << "fast" << "binary" << "FF"
                                            << QList<int>{0, 1, 2, 3, 4, 5, 6, 7};
    }

    void info()
    {
        QFETCH(int, mask);
        QFETCH(char, mode);
        QFETCH(char, display);
        QFETCH(bool, json);
        QFETCH(QString, modeName);
        QFETCH(QString, outputName);
        QFETCH(QString, maskText);
        QFETCH(QList<int>, sensors);
        hub->setMask(quint8(mask));
        hub->setOperatingMode(mode);
        hub->setDisplayMode(display);
        hub->setIdentity("SN-" + QByteArray::number(mask), "3.0." + QByteArray::number(mask % 7), "T" + QByteArray(1, mode));

        const Result result = run(QStringList{"--port", "{port}", "info"} + (json ? QStringList{"--json"} : QStringList()));
        QVERIFY2(result.code == 0, result.err.constData());
        QCOMPARE(result.err, QByteArray());
        const QString serial = QStringLiteral("SN-%1").arg(mask);
        const QString firmware = QStringLiteral("3.0.%1").arg(mask % 7);
        const QString type = QStringLiteral("T") + QLatin1Char(mode);
        if (json) {
            QJsonParseError error;
            const QJsonObject object = QJsonDocument::fromJson(result.out, &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, result.out.constData());
            QCOMPARE(object.size(), 9);
            QCOMPARE(object.value("port").toString(), hub->portPath());
            QCOMPARE(object.value("device").toString(), QStringLiteral("PXHUB"));
            QCOMPARE(object.value("serial").toString(), serial);
            QCOMPARE(object.value("firmware").toString(), firmware);
            QCOMPARE(object.value("firmware_type").toString(), type);
            QCOMPARE(object.value("output").toString(), outputName);
            QCOMPARE(object.value("mode").toString(), modeName);
            QCOMPARE(object.value("sensor_mask").toString(), maskText);
            QList<int> numbers;
            for (const QJsonValue &v : object.value("sensors").toArray())
                numbers << v.toInt(-1);
            QCOMPARE(numbers, sensors);
            QCOMPARE(result.out.count('\n'), 1);
        } else {
            QStringList numbers;
            for (int n : sensors)
                numbers << QString::number(n);
            const QStringList expected{"port: " + hub->portPath(), "device: PXHUB", "serial: " + serial,
                                       "firmware: " + firmware, "firmware_type: " + type, "output: " + outputName,
                                       "mode: " + modeName, "sensor_mask: " + maskText,
                                       "sensors: " + numbers.join(',')};
            QCOMPARE(QString::fromUtf8(result.out).split('\n', Qt::SkipEmptyParts), expected);
        }
    }

    // Whatever ports this machine has: the lines and the array list the same ones.
    void ports()
    {
        const Result lines = run({"ports"});
        const Result json = run({"ports", "--json"});
        QCOMPARE(lines.code, 0);
        QCOMPARE(json.code, 0);
        QCOMPARE(lines.err + json.err, QByteArray());
        QStringList paths;
        for (const QByteArray &line : linesOf(lines.out)) {
            const QList<QByteArray> fields = line.split('\t');
            QVERIFY2(fields.size() == 5 && fields[0].startsWith('/'), line.constData());
            for (const QByteArray &field : fields)
                QVERIFY2(!field.isEmpty(), line.constData());
            paths << QString::fromUtf8(fields[0]);
        }
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(json.out, &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isArray(), json.out.constData());
        QStringList jsonPaths;
        for (const QJsonValue &v : document.array()) {
            const QJsonObject port = v.toObject();
            QCOMPARE(port.keys(), (QStringList{"description", "looks_like_hub", "manufacturer", "port",
                                               "serial_number", "usb_id"}));
            jsonPaths << port.value("port").toString();
        }
        QCOMPARE(jsonPaths, paths);
    }

    void set_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("before");     // output, mode and mask: "BF0F"
        QTest::addColumn<QByteArray>("sent");       // besides the two handshakes
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("timeouts");      // "sensor=ms,..." afterwards; the rest never set
        QTest::addColumn<QString>("shown");         // a part of what is printed
        const auto add = [](const QStringList &options, const char *before, const char *sent, const char *after,
                            const char *timeouts, const char *shown) {
            QTest::addRow("%s", qPrintable(options.join(' '))) << options << QByteArray(before) << QByteArray(sent)
                                                               << QByteArray(after) << QString(timeouts) << QString(shown);
        };
        add({"--output", "text"}, "BF0F", "TTT", "TF0F", "", "output: text\n");
        add({"--output", "binary"}, "TF0F", "BBB", "BF0F", "", "output: binary\n");
        add({"--mode", "precise"}, "BF0F", "PPP", "BP0F", "", "mode: precise\n");
        add({"--mode", "fast"}, "TP0F", "FFF", "TF0F", "", "mode: fast\n");
        add({"--sensors", "83"}, "BF0F", "C83", "BF83", "", "sensor_mask: 83\nsensors: 0,1,7\n");
        add({"--sensors", "0,1,7"}, "BF0F", "C83", "BF83", "", "sensor_mask: 83\n");
        add({"--sensors", "0"}, "BF0F", "C00", "BF00", "", "sensor_mask: 00\nsensors: \n");
        add({"--timeout", "2=40"}, "BP0F", "T2040", "BP0F", "2=40", "mode: precise\n");
        add({"--timeout", "0=0", "--timeout", "7=999"}, "BP0F", "T0000T7999", "BP0F", "0=0,7=999", "sensors: 0,1,2,3\n");
        add({"--output", "text", "--mode", "precise", "--sensors", "f0", "--timeout", "4=5", "--json"}, "BF0F",
            "TTTPPPCF0T4005", "TPF0", "4=5", "\"mode\":\"precise\",\"output\":\"text\"");
        // The window sends nothing for a control that already shows the hub's state.
        add({"--output", "text", "--mode", "precise", "--sensors", "A5"}, "TPA5", "", "TPA5", "", "sensor_mask: A5\n");
    }

    void set()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, after);
        QFETCH(QString, timeouts);
        QFETCH(QString, shown);
        hub->setDisplayMode(before[0]);
        hub->setOperatingMode(before[1]);
        hub->setMask(quint8(before.mid(2).toInt(nullptr, 16)));
        hub->clearReceived();

        const Result result = run(QStringList{"--port", "{port}", "set"} + options);
        QVERIFY2(result.code == 0, result.err.constData());
        QCOMPARE(result.err, QByteArray());
        QVERIFY2(result.out.contains(shown.toUtf8()), result.out.constData());
        QCOMPARE(hub->displayMode(), after[0]);
        QCOMPARE(hub->operatingMode(), after[1]);
        QCOMPARE(int(hub->mask()), after.mid(2).toInt(nullptr, 16));
        QList<int> expected{-1, -1, -1, -1, -1, -1, -1, -1};
        for (const QString &pair : timeouts.split(',', Qt::SkipEmptyParts))
            expected[pair.section('=', 0, 0).toInt()] = pair.section('=', 1).toInt();
        for (int k = 0; k < 8; ++k)
            QCOMPARE(hub->sensorTimeout(k), expected[k]);
        // The configuration is read back on a second connection.
        QByteArray received = hub->received();
        QCOMPARE(received.count("HCF"), 2);
        QCOMPARE(received.count("RRI"), 2);
        QCOMPARE(received.replace("HCF", "").replace("RRI", ""), sent);
    }

    void stream_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<char>("display");
        QTest::addColumn<int>("closeAfter");   // the hub vanishes after this many records; -1 never
        QTest::addColumn<QByteArray>("existing");   // {dir}/rows before the run; null: no file
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("rows");         // -1: any number from 1
        QTest::addColumn<QList<int>>("s0");    // sensor k shows (k + 1) times s0; empty: the fixed readings
        QTest::addColumn<QString>("err");
        const QStringList toFile{"--output", "{dir}/rows"};
        const auto add = [](const char *name, const QStringList &options, char display, int code, int rows,
                            const QList<int> &s0 = {}, const char *err = "", int closeAfter = -1,
                            const QByteArray &existing = QByteArray()) {
            QTest::newRow(name) << options << display << closeAfter << existing << code << rows << s0 << QString(err);
        };
        add("csv, binary", {"--count", "5"}, 'B', 0, 5);
        add("csv, text", {"--count", "5"}, 'T', 0, 5);
        add("jsonl", {"--count", "7", "--format", "jsonl"}, 'B', 0, 7);
        add("--duration", {"--duration", "0.5", "--format", "jsonl"}, 'T', 0, -1);
        // The window's mean: in text output a 0 is a reading like any other,
        // so the first rows count the zeros the history starts with.
        add("--average 4, text", {"--count", "6", "--average", "4"}, 'T', 0, 6, {100, 200, 300, 400, 400, 400});
        add("--average 4, binary", {"--count", "6", "--average", "4"}, 'B', 0, 6, {400, 400, 400, 400, 400, 400});
        add("--output, new file", toFile + QStringList{"--count", "5"}, 'B', 0, 5);
        add("--output refuses an existing file", toFile + QStringList{"--count", "5"}, 'B', 64, 0, {},
            "{dir}/rows exists. Use --force to overwrite it.", -1, "keep me\n");
        add("--output --force overwrites", toFile + QStringList{"--count", "5", "--force"}, 'B', 0, 5, {}, "", -1,
            "keep me\n");
        add("hub vanishes, binary", {}, 'B', 74, 40, {}, "The hub on {port} went away.", 40);
        add("hub vanishes, text to a file", toFile, 'T', 74, 40, {}, "The hub on {port} went away.", 40);
    }

    void stream()
    {
        QFETCH(QStringList, options);
        QFETCH(char, display);
        QFETCH(int, closeAfter);
        QFETCH(QByteArray, existing);
        QFETCH(int, code);
        QFETCH(int, rows);
        QFETCH(QList<int>, s0);
        QFETCH(QString, err);
        hub->setDisplayMode(display);
        hub->setFixedReadings(Fixed);
        if (!existing.isNull())
            writeFile(QStringLiteral("rows"), existing);
        if (closeAfter >= 0) {
            // Back to back, so that the last records arrive in one read.
            hub->setStreaming(false);
            hub->setCyclePeriodMs(0);
        }
        hub->clearReceived();

        QProcess process;
        start(process, QStringList{"--port", "{port}", "stream"} + options);
        if (closeAfter >= 0) {
            QVERIFY(quietUntilIdentified());
            hub->setCloseAfterRecords(hub->recordsSent() + closeAfter);
            hub->setStreaming(true);
        }
        const Result result = finish(process);
        QVERIFY2(result.code == code, result.err.constData());
        if (code == 64) {
            QCOMPARE(readFile(QStringLiteral("rows")), existing);
            QCOMPARE(hub->received(), QByteArray());
            QCOMPARE(result.err, expand(err).toUtf8() + '\n');
            return;
        }
        const bool file = options.contains(QStringLiteral("--output"));
        if (file)
            QCOMPARE(result.out, QByteArray());
        QList<Row> written;
        QString error;
        QVERIFY2(parseRows(file ? readFile(QStringLiteral("rows")) : result.out,
                           options.contains(QStringLiteral("jsonl")), written, error), qPrintable(error));
        if (rows >= 0)
            QCOMPARE(written.size(), rows);
        else
            QVERIFY(!written.isEmpty());
        QCOMPARE(written.first().elapsed, 0.0);
        for (int r = 0; r < written.size(); ++r)
            for (int k = 0; k < 8; ++k)
                QCOMPARE(written[r].values[k], s0.isEmpty() ? int(Fixed[k]) : s0[r] * (k + 1));
        QVERIFY2(result.err.startsWith(QStringLiteral("stream: %1 records in ").arg(written.size()).toUtf8()),
                 result.err.constData());
        if (!err.isEmpty())
            QVERIFY2(result.err.contains(expand(err).toUtf8()), result.err.constData());
        else
            QCOMPARE(result.err.count('\n'), 1);
    }

    void streamKeepsEveryRecord_data()
    {
        QTest::addColumn<char>("display");
        QTest::addColumn<bool>("hubStopsFirst");
        QTest::newRow("binary, the hub stops first") << 'B' << true;
        QTest::newRow("text, the hub stops first") << 'T' << true;
        QTest::newRow("binary, the program stops first") << 'B' << false;
        QTest::newRow("text, the program stops first") << 'T' << false;
    }

    // Ten times the wire's rate, records back to back, each one numbered by
    // its place in the script: a row lost, doubled or out of order shows.
    void streamKeepsEveryRecord()
    {
        QFETCH(char, display);
        QFETCH(bool, hubStopsFirst);
        const int scriptLength = 3000;
        const QVector<int> numbers = frameSafeValues(scriptLength);
        QHash<int, int> place;
        QVector<HubSimulator::Readings> script;
        for (int i = 0; i < scriptLength; ++i) {
            place.insert(numbers[i], i);
            script << readings({numbers[i], 1000, 2000, 3000, 4000, 5000, 6000, 7000 + i % 7});
        }
        hub->setStreaming(false);
        hub->setDisplayMode(display);
        hub->setScript(script);
        hub->setCyclePeriodMs(0);
        hub->clearReceived();

        QProcess process;
        start(process, {"--port", "{port}", "stream", "--duration", hubStopsFirst ? "3" : "2"});
        QVERIFY(quietUntilIdentified());
        const int base = hub->recordsSent();
        hub->setStreaming(true);
        int sent = 0;
        if (hubStopsFirst) {
            QTest::qWait(1500);
            hub->setStreaming(false);
            sent = hub->recordsSent() - base;
        }
        const Result result = finish(process);
        if (!hubStopsFirst)
            sent = hub->recordsSent() - base;
        QVERIFY2(result.code == 0, result.err.constData());
        QList<Row> rows;
        QString error;
        QVERIFY2(parseRows(result.out, false, rows, error), qPrintable(error));
        for (int r = 0; r < rows.size(); ++r)
            QVERIFY2(place.value(rows[r].values[0], -1) == r % scriptLength,
                     qPrintable(QStringLiteral("row %1 is script record %2").arg(r).arg(place.value(rows[r].values[0], -1))));
        // Well over a thousand records a second at this pace.
        QVERIFY2(rows.size() > 1000, qPrintable(QString::number(rows.size())));
        if (hubStopsFirst) {
            QCOMPARE(rows.size(), sent);
        } else {
            // What the hub wrote after the program's last read is still in the
            // pty, which holds some 68 KiB.
            const int recordBytes = display == 'B' ? 19 : 40;
            QVERIFY2(rows.size() <= sent && (sent - rows.size()) * recordBytes <= 68 * 1024,
                     qPrintable(QStringLiteral("%1 rows of %2 records").arg(rows.size()).arg(sent)));
        }
        QVERIFY2(result.err.startsWith(QStringLiteral("stream: %1 records in ").arg(rows.size()).toUtf8()),
                 result.err.constData());
    }

    void flash_data()
    {
        QTest::addColumn<int>("size");         // -1: no file
        QTest::addColumn<QString>("hubFault");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("stoppedAt");    // bytes sent when it failed; -1 when it did not start
        QTest::addColumn<QString>("err");
        QTest::newRow("1000 bytes") << 1000 << "" << QStringList{} << 0 << -1
                                    << "flash: Upgrade Finished. Please reconnect the device.";
        QTest::newRow("1001 bytes: a short last block") << 1001 << "" << QStringList{} << 0 << -1 << "";
        QTest::newRow("--verify-reconnect") << 1000 << "" << QStringList{"--verify-reconnect"} << 0 << -1 << "";
        QTest::newRow("hub already in its boot loader") << 1000 << "boot loader" << QStringList{} << 0 << -1 << "";
        QTest::newRow("erase refused") << 1000 << "erase refused" << QStringList{} << 76 << 0
                                       << "The upgrade did not finish after 0 of 1000 bytes.";
        QTest::newRow("block 3 refused") << 1000 << "block 3 refused" << QStringList{} << 76 << 32
                                         << "The upgrade did not finish after 32 of 1000 bytes.";
        QTest::newRow("silent after 3 blocks") << 1000 << "silent after 3" << QStringList{"--reply-timeout", "300"}
                                               << 76 << 32 << "The upgrade did not finish after 32 of 1000 bytes.";
        QTest::newRow("port gone at block 5") << 1000 << "closes at 5" << QStringList{} << 74 << 48
                                              << "went away after 48 of 1000 bytes.";
        QTest::newRow("missing image") << -1 << "" << QStringList{} << 66 << -1 << "No such file: {dir}/image.bin.";
        QTest::newRow("unreadable image") << 1000 << "unreadable" << QStringList{} << 66 << -1
                                          << "Cannot read {dir}/image.bin (";
        QTest::newRow("empty image") << 0 << "" << QStringList{} << 66 << -1
                                     << "{dir}/image.bin is empty: there is nothing to flash.";
    }

    void flash()
    {
        QFETCH(int, size);
        QFETCH(QString, hubFault);
        QFETCH(QStringList, options);
        QFETCH(int, code);
        QFETCH(int, stoppedAt);
        QFETCH(QString, err);
        const QByteArray bytes = image(qMax(size, 0));
        const QString path = dir->filePath(QStringLiteral("image.bin"));
        QFile::remove(path);
        if (size >= 0)
            writeFile(QStringLiteral("image.bin"), bytes);
        if (hubFault == QLatin1String("unreadable")) {
            if (::geteuid() == 0)
                QSKIP("root reads a file whatever its mode");
            QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        }
        hub->setStartInBootLoader(hubFault == QLatin1String("boot loader"));
        if (hubFault == QLatin1String("erase refused"))
            hub->setEraseReply('Z');
        if (hubFault == QLatin1String("block 3 refused"))
            hub->setRefuseBlock(3, 'Z');
        if (hubFault == QLatin1String("silent after 3"))
            hub->setBootLoaderSilentAfter(3);
        if (hubFault == QLatin1String("closes at 5"))
            hub->setCloseAtBlock(5);
        hub->clearReceived();

        QElapsedTimer clock;
        clock.start();
        const Result result = run(QStringList{"--port", "{port}", "flash", "{dir}/image.bin"} + options);
        QVERIFY2(result.code == code, result.err.constData());
        if (!err.isEmpty())
            QVERIFY2(result.err.contains(expand(err).toUtf8()), result.err.constData());
        if (code == 66) {
            QCOMPARE(result.out, QByteArray());
            QVERIFY(!hub->eraseRequested());
            QCOMPARE(hub->received(), QByteArray());
            return;
        }
        QVERIFY(hub->eraseRequested());

        // Not a terminal: one line per 5 %, each saying what it says.
        static const QRegularExpression progress(QStringLiteral("^flash: (\\d+)% (\\d+)/(\\d+) bytes$"));
        QStringList lines = QString::fromUtf8(result.out).split('\n', Qt::SkipEmptyParts);
        int last = -1, lastSent = 0;
        while (!lines.isEmpty() && lines.first().startsWith(QLatin1String("flash: "))) {
            const QString line = lines.takeFirst();
            const QRegularExpressionMatch m = progress.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            const int percent = m.captured(1).toInt(), sent = m.captured(2).toInt();
            QCOMPARE(m.captured(3).toInt(), size);
            QCOMPARE(percent, int(qint64(sent) * 100 / size));
            QVERIFY(percent > last && sent > lastSent && sent <= size);
            last = percent;
            lastSent = sent;
        }
        if (code == 0) {
            QCOMPARE(last, 100);
            QCOMPARE(hub->receivedImage(), bytes);
            QCOMPARE(hub->blockSizes().last(), size % 8 ? size % 8 : 8);
            QVERIFY(hub->sessionFinished());
            if (options.contains(QStringLiteral("--verify-reconnect")))
                QVERIFY2(lines.contains("serial: A7-0042") && lines.contains("firmware: 4.2.1"),
                         result.out.constData());
            else
                QCOMPARE(lines, QStringList());
        } else {
            QVERIFY(lastSent <= stoppedAt);
            QVERIFY(!hub->sessionFinished());
            QVERIFY(bytes.startsWith(hub->receivedImage()));
        }
        // The bounded waits are the ones asked for, not the defaults.
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    }

    void interrupt_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT during stream, csv") << QStringList{"stream"} << int(SIGINT);
        QTest::newRow("SIGTERM during stream, jsonl") << QStringList{"stream", "--format", "jsonl"} << int(SIGTERM);
        QTest::newRow("SIGINT during stream to a file") << QStringList{"stream", "--output", "{dir}/rows"} << int(SIGINT);
        QTest::newRow("SIGINT during flash") << QStringList{"flash", "{dir}/large.bin"} << int(SIGINT);
        QTest::newRow("SIGTERM during flash") << QStringList{"flash", "{dir}/large.bin"} << int(SIGTERM);
    }

    void interrupt()
    {
        QFETCH(QStringList, options);
        QFETCH(int, signal);
        const bool flashing = options.first() == QLatin1String("flash");
        const bool file = options.contains(QStringLiteral("--output"));
        const QByteArray large = image(64 * 1024);
        writeFile(QStringLiteral("large.bin"), large);

        QProcess process;
        QByteArray out;
        start(process, QStringList{"--port", "{port}"} + options);
        // Well into the run: fifty rows, or a tenth of the image.
        QElapsedTimer clock;
        clock.start();
        const auto far = [&] {
            out += process.readAllStandardOutput();
            if (flashing)
                return out.contains("flash: 10%");
            return (file ? readFile(QStringLiteral("rows")) : out).count('\n') > 50;
        };
        while (!far() && clock.elapsed() < 10000)
            process.waitForReadyRead(50);
        QVERIFY2(far(), out.right(200).constData());
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        Result result = finish(process);
        out += result.out;
        QVERIFY2(result.code == 130, result.err.constData());

        if (flashing) {
            static const QRegularExpression stopped(QStringLiteral("Interrupted after (\\d+) of 65536 bytes"));
            const QRegularExpressionMatch m = stopped.match(QString::fromUtf8(result.err));
            QVERIFY2(m.hasMatch(), result.err.constData());
            const int sent = m.captured(1).toInt();
            QVERIFY2(sent >= 6553 && sent < large.size(), result.err.constData());
            QVERIFY(!hub->sessionFinished());
            QVERIFY(large.startsWith(hub->receivedImage()));
            QVERIFY(hub->receivedImage().size() >= sent - 8 && hub->receivedImage().size() <= sent);
            QVERIFY(out.endsWith(" bytes\n"));
        } else {
            QList<Row> rows;
            QString error;
            QVERIFY2(parseRows(file ? readFile(QStringLiteral("rows")) : out, options.contains(QStringLiteral("jsonl")),
                               rows, error), qPrintable(error));
            QVERIFY(rows.size() > 50);
            if (file)
                QCOMPARE(out, QByteArray());
            QVERIFY2(result.err.startsWith(QStringLiteral("stream: %1 records in ").arg(rows.size()).toUtf8()),
                     result.err.constData());
            QCOMPARE(result.err.count('\n'), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
