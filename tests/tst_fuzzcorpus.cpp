// SPDX-License-Identifier: GPL-3.0-or-later
// Replays the fuzz targets' kept inputs, fuzz/corpus/<target>/ (seeds from the
// simulated hub and what fuzzing added to them) and fuzz/regressions/<target>/
// (every input that once broke a target), through the same entries the
// libFuzzer programs run, so the suite keeps them passing without clang.
#include "fuzztargets.h"

#include <QtTest>

static QStringList brokenRules;

class TestFuzzCorpus : public QObject
{
    Q_OBJECT

private slots:
    void keptInputs_data()
    {
        FuzzTargets::setFailureHandler([](const char *rule) { brokenRules << QString::fromUtf8(rule); });
        QTest::addColumn<int>("target");
        QTest::addColumn<QString>("path");
        const QDir fuzzDir(QStringLiteral(PELLIX_FUZZ_DIR));
        for (int t = 0; t < FuzzTargets::targetCount; ++t) {
            const QString name = QString::fromLatin1(FuzzTargets::targets[t].name);
            // A target without seeds would replay nothing and pass.
            if (QDir(fuzzDir.filePath("corpus/" + name)).entryList({"seed-*"}, QDir::Files).isEmpty())
                QTest::newRow(qPrintable("no seeds for " + name)) << t << QString();
            for (const QString kind : {"corpus/", "regressions/"}) {
                const QDir dir(fuzzDir.filePath(kind + name));
                for (const QString &file : dir.entryList(QDir::Files, QDir::Name))
                    QTest::newRow(qPrintable(kind + name + '/' + file)) << t << dir.filePath(file);
            }
        }
    }
    void keptInputs()
    {
        QFETCH(int, target);
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        const QByteArray input = file.readAll();
        brokenRules.clear();
        FuzzTargets::targets[target].entry(reinterpret_cast<const uint8_t *>(input.constData()),
                                           size_t(input.size()));
        QVERIFY2(brokenRules.isEmpty(), qPrintable(brokenRules.join(QLatin1String("; "))));
    }
};

QTEST_GUILESS_MAIN(TestFuzzCorpus)
#include "tst_fuzzcorpus.moc"
