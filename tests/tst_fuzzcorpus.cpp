// Replays the fuzz targets' kept inputs, fuzz/corpus/<target>/ (seeds from the
// simulated hub and what fuzzing added to them) and fuzz/regressions/<target>/
// (every input that once broke a target), through the same entries the
// libFuzzer programs run, so the suite keeps them passing without clang.
#include "fuzztargets.h"

#include <QtTest>

namespace {

QStringList brokenRules;

void recordFailure(const char *rule)
{
    brokenRules << QString::fromUtf8(rule);
}

} // namespace

class TestFuzzCorpus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keptInputs_data();
    void keptInputs();
    void everyTargetHasSeeds();
};

void TestFuzzCorpus::initTestCase()
{
    FuzzTargets::setFailureHandler(recordFailure);
}

void TestFuzzCorpus::keptInputs_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("path");
    const QDir fuzzDir(QStringLiteral(PELLIX_FUZZ_DIR));
    for (int t = 0; t < FuzzTargets::targetCount; ++t) {
        const QString name = QString::fromLatin1(FuzzTargets::targets[t].name);
        for (const char *kind : {"corpus", "regressions"}) {
            const QDir dir(fuzzDir.filePath(QStringLiteral("%1/%2").arg(QLatin1String(kind), name)));
            for (const QString &file : dir.entryList(QDir::Files, QDir::Name))
                QTest::newRow(qPrintable(QStringLiteral("%1/%2/%3").arg(QLatin1String(kind), name, file)))
                    << t << dir.filePath(file);
        }
    }
}

void TestFuzzCorpus::keptInputs()
{
    QFETCH(int, target);
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray input = file.readAll();
    brokenRules.clear();
    FuzzTargets::targets[target].entry(reinterpret_cast<const uint8_t *>(input.constData()),
                                      size_t(input.size()));
    QVERIFY2(brokenRules.isEmpty(), qPrintable(brokenRules.join(QLatin1String("; "))));
}

void TestFuzzCorpus::everyTargetHasSeeds()
{
    const QDir fuzzDir(QStringLiteral(PELLIX_FUZZ_DIR));
    for (int t = 0; t < FuzzTargets::targetCount; ++t) {
        const QString name = QString::fromLatin1(FuzzTargets::targets[t].name);
        const QDir seeds(fuzzDir.filePath(QStringLiteral("corpus/") + name));
        QVERIFY2(!seeds.entryList({QStringLiteral("seed-*")}, QDir::Files).isEmpty(), qPrintable(name));
    }
}

QTEST_GUILESS_MAIN(TestFuzzCorpus)
#include "tst_fuzzcorpus.moc"
