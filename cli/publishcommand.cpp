// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "publisher.h"

#include <QCommandLineParser>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QUrl>

#include <memory>

namespace {

const int MaxQueue = 10000000;
// A topic is at most 65535 bytes; this leaves room for what follows a prefix.
const int MaxPrefixBytes = 65000;
const int MaxRate = 1000;

// The credentials come from the environment or a file, never from the command
// line, where every user of the machine can read them.
int takeCredentials(const QString &passwordFile, MqttClient::Settings &broker)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    broker.username = environment.value(QStringLiteral("PELLIX_MQTT_USERNAME"));
    broker.password = environment.value(QStringLiteral("PELLIX_MQTT_PASSWORD"));
    if (passwordFile.isEmpty())
        return CommandSupport::Proceed;
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        Console::err(QStringLiteral("Cannot read %1 (%2).").arg(passwordFile, file.errorString()));
        return ExitCode::NoInput;
    }
    const QString line = QString::fromUtf8(file.readLine()).remove(QRegularExpression(QStringLiteral("[\r\n]+$")));
    const int colon = line.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return CommandSupport::usage(QStringLiteral("%1 holds no USER:PASSWORD line.").arg(passwordFile));
    broker.username = line.left(colon);
    broker.password = line.mid(colon + 1);
    return CommandSupport::Proceed;
}

int takeBroker(const QString &text, MqttClient::Settings &broker)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")) || url.host().isEmpty()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery() || url.hasFragment())
        return CommandSupport::usage(QStringLiteral("--broker takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: %1")
                                         .arg(text));
    if (!url.userInfo().isEmpty())
        return CommandSupport::usage(QStringLiteral("--broker takes no user name or password: put them in "
                                                    "PELLIX_MQTT_USERNAME and PELLIX_MQTT_PASSWORD or --password-file."));
    broker.tls = scheme == QLatin1String("mqtts");
    broker.host = url.host();
    broker.port = url.port(broker.tls ? 8883 : 1883);
    // The library takes port 0 for its default and then cannot say why nothing answers.
    if (broker.port == 0)
        return CommandSupport::usage(QStringLiteral("--broker takes a port from 1 to 65535: %1").arg(text));
    return CommandSupport::Proceed;
}

// Why a prefix cannot begin topics, or an empty string. A broker keeps topics
// beginning with $ to itself and drops what is published there without a word,
// and the library refuses control characters only once it is asked to publish.
QString prefixFault(const QString &prefix)
{
    if (prefix.isEmpty() || prefix.contains(QRegularExpression(QStringLiteral("[+#]"))) || prefix.endsWith(QLatin1Char('/')))
        return QStringLiteral("a topic without + or # and no / at its end");
    if (prefix.startsWith(QLatin1Char('$')))
        return QStringLiteral("no topic beginning with $, which the broker keeps for itself");
    if (prefix.contains(QRegularExpression(QStringLiteral("[\\x{0}-\\x{1F}\\x{7F}-\\x{9F}]"))))
        return QStringLiteral("no control characters");
    if (prefix.toUtf8().size() > MaxPrefixBytes)
        return QStringLiteral("at most %1 bytes").arg(MaxPrefixBytes);
    return QString();
}

bool takeInt(const QCommandLineParser &parser, const QCommandLineOption &option, int low, int high, int &value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    value = parser.value(option).toInt(&ok);
    return ok && value >= low && value <= high;
}

// The publish command's options, for the parser and for reading them back.
struct PublishSwitches
{
    const QCommandLineOption broker{QStringLiteral("broker"), QStringLiteral("mqtt://HOST[:PORT] or mqtts://HOST[:PORT]."),
                                    QStringLiteral("URL")};
    const QCommandLineOption prefix{QStringLiteral("topic-prefix"),
                                    QStringLiteral("Topics begin with this (default pellix/<serial number>)."),
                                    QStringLiteral("PREFIX")};
    const QCommandLineOption qos{QStringLiteral("qos"), QStringLiteral("0 (default) or 1, for the records."),
                                 QStringLiteral("0|1")};
    const QCommandLineOption queue{QStringLiteral("queue"),
                                   QStringLiteral("Records kept while the broker is away (10000); then the oldest "
                                                  "are dropped."),
                                   QStringLiteral("N")};
    const QCommandLineOption rate{QStringLiteral("max-rate"),
                                  QStringLiteral("At most N records a second, 1 to 1000: the newest of each 1/N s."),
                                  QStringLiteral("N")};
    const QCommandLineOption ca{QStringLiteral("cafile"), QStringLiteral("The CA of the broker's certificate (mqtts)."),
                                QStringLiteral("FILE")};
    const QCommandLineOption cert{QStringLiteral("cert"), QStringLiteral("A client certificate (mqtts)."),
                                  QStringLiteral("FILE")};
    const QCommandLineOption key{QStringLiteral("key"), QStringLiteral("The client certificate's key (mqtts)."),
                                 QStringLiteral("FILE")};
    const QCommandLineOption passwordFile{QStringLiteral("password-file"),
                                          QStringLiteral("A file whose first line is USER:PASSWORD."),
                                          QStringLiteral("FILE")};
    const QCommandLineOption discovery{QStringLiteral("homeassistant"),
                                       QStringLiteral("Home Assistant discovery under PREFIX (homeassistant).")};
    const QCommandLineOption reconnect{QStringLiteral("reconnect"),
                                       QStringLiteral("When the hub vanishes, wait for it to come back on its port.")};

    QList<QCommandLineOption> all() const
    {
        return {broker, prefix, qos, queue, rate, ca, cert, key, passwordFile, discovery, reconnect};
    }
};

int takePublishValues(const QCommandLineParser &parser, const PublishSwitches &o, PublishOptions &options)
{
    const QStringList operands = parser.positionalArguments();
    if (operands.size() > (parser.isSet(o.discovery) ? 1 : 0))
        return CommandSupport::usage(QStringLiteral("Unexpected argument '%1': publish takes options only, and a "
                                                    "prefix after --homeassistant.")
                                         .arg(operands.last()));
    if (!parser.isSet(o.broker))
        return CommandSupport::usage(QStringLiteral("publish needs --broker mqtt://HOST[:PORT]."));
    int taken = takeBroker(parser.value(o.broker), options.broker);
    if (taken != CommandSupport::Proceed)
        return taken;
    if (!takeInt(parser, o.qos, 0, 1, options.qos))
        return CommandSupport::usage(QStringLiteral("--qos takes 0 or 1."));
    if (!takeInt(parser, o.queue, 0, MaxQueue, options.broker.queueLimit))
        return CommandSupport::usage(QStringLiteral("--queue takes a whole number from 0 to %1.").arg(MaxQueue));
    if (!takeInt(parser, o.rate, 1, MaxRate, options.maxRate))
        return CommandSupport::usage(QStringLiteral("--max-rate takes a whole number from 1 to %1.").arg(MaxRate));
    options.prefix = parser.value(o.prefix);
    if (parser.isSet(o.prefix) && !prefixFault(options.prefix).isEmpty())
        return CommandSupport::usage(QStringLiteral("--topic-prefix takes %1.").arg(prefixFault(options.prefix)));
    if (parser.isSet(o.discovery))
        options.discoveryPrefix = operands.isEmpty() ? QStringLiteral("homeassistant") : operands.first();
    if (parser.isSet(o.discovery) && !prefixFault(options.discoveryPrefix).isEmpty())
        return CommandSupport::usage(QStringLiteral("--homeassistant takes %1.").arg(prefixFault(options.discoveryPrefix)));
    options.reconnect = parser.isSet(o.reconnect);
    options.broker.caFile = parser.value(o.ca);
    options.broker.certFile = parser.value(o.cert);
    options.broker.keyFile = parser.value(o.key);
    if (!options.broker.tls && (parser.isSet(o.ca) || parser.isSet(o.cert) || parser.isSet(o.key)))
        return CommandSupport::usage(QStringLiteral("--cafile, --cert and --key need an mqtts:// broker."));
    if (parser.isSet(o.cert) != parser.isSet(o.key))
        return CommandSupport::usage(QStringLiteral("--cert and --key go together."));
    return takeCredentials(parser.value(o.passwordFile), options.broker);
}

int parsePublish(const QStringList &arguments, PublishOptions &options)
{
    QCommandLineParser parser;
    const PublishSwitches o;
    parser.addOptions(o.all());
    parser.addPositionalArgument(QStringLiteral("PREFIX"), QStringLiteral("After --homeassistant: its prefix."),
                                 QStringLiteral("[PREFIX]"));
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments,
                               QStringLiteral("publish --broker URL [--topic-prefix PREFIX] [--qos 0|1] [--queue N] "
                                              "[--max-rate N] [--cafile FILE] [--cert FILE --key FILE] "
                                              "[--password-file FILE] [--reconnect] [--homeassistant [PREFIX]]"),
                               exitCode, -1))
        return exitCode;
    return takePublishValues(parser, o, options);
}

int runPublish(const PublishOptions &options, const QString &port, Interrupts &interrupts)
{
    int exitCode = ExitCode::Success;
    std::unique_ptr<HubLink> link = CommandSupport::openHub(port, interrupts, exitCode);
    if (!link)
        return exitCode;
    QString prefix = options.prefix;
    if (prefix.isEmpty())
        prefix = Publisher::defaultPrefix(link->report());
    if (prefix.isEmpty()) {
        Console::err(QStringLiteral("The hub on %1 did not give its serial number. Give --topic-prefix.")
                         .arg(link->portName()));
        return ExitCode::HubFailed;
    }
    return Publisher(options, std::move(link), prefix).run(interrupts);
}

} // namespace

int Commands::publish(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    PublishOptions options;
    const int parsed = parsePublish(arguments, options);
    return parsed != CommandSupport::Proceed ? parsed : runPublish(options, port, interrupts);
}
