// brivane-cli run killed with SIGKILL in the middle of a run, several times,
// then run to its end: no picture lost, none doubled, none half written, no
// finished header fetched again, the pointer never ahead of the pictures, and
// no work files left behind.
#include "test_run_support.h"

#include "support/inn2.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSet>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

using namespace brivane;
using namespace brivane::test;

namespace {

// Starts `brivane-cli run` and sends it `sig` (SIGKILL unless told otherwise)
// once `pointers` headers were finished. Returns the stdout lines seen in
// `seen` and the exit code in `code`; false when the run ended before that.
bool run_and_kill(const QString &home, int pointers, QStringList *seen, int sig = SIGKILL,
                  int *code = nullptr)
{
    QProcess p;
    if (!start_program(p, home, {QStringLiteral("run")}))
        return false;
    int done = 0;
    QByteArray pending;
    while (done < pointers) {
        if (!p.waitForReadyRead(30000))
            break;
        pending += p.readAllStandardOutput();
        qsizetype nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(nl)).remove(QLatin1Char('\r'));
            pending.remove(0, nl + 1);
            *seen << line;
            if (line == indent + QStringLiteral("Updated message pointer..."))
                ++done;
        }
    }
    const bool killed = p.state() == QProcess::Running;
    if (killed)
        ::kill(pid_t(p.processId()), sig);
    p.waitForFinished(30000);
    pending += p.readAllStandardOutput();
    for (const QByteArray &l : pending.split('\n')) {
        if (!l.isEmpty())
            *seen << QString::fromUtf8(l).remove(QLatin1Char('\r'));
    }
    if (code)
        *code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return killed && done >= pointers;
}

QByteArray digest(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

} // namespace

class TestRunKill : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void killed_and_rerun_data();
    void killed_and_rerun();
    void terminated_stops_in_order_data();
    void terminated_stops_in_order();
};

void TestRunKill::initTestCase()
{
    BRIVANE_REQUIRE_INN2(inn);
    QVERIFY(QFileInfo::exists(QStringLiteral(BRIVANE_CLI_PATH)));
}

void TestRunKill::killed_and_rerun_data()
{
    QTest::addColumn<bool>("checkdupes");
    QTest::newRow("duplicate check on") << true;
    QTest::newRow("duplicate check off") << false;
}

void TestRunKill::killed_and_rerun()
{
    QFETCH(bool, checkdupes);
    BRIVANE_REQUIRE_INN2(inn);

    // Enough headers that a kill always lands with some still to do: the
    // run goes on for a while after the line that triggers it was written.
    constexpr int total = 200;
    QHash<QByteArray, int> wanted;  // digest -> article number
    const QList<QByteArray> pics = noisy_jpegs(total, 1000);
    for (int i = 1; i <= total; ++i)
        wanted.insert(digest(pics.at(i - 1)), i);
    TempHome home;
    QString why;
    const QString dl = posted_picture_home(inn, home, pics, QStringLiteral("k"), &why, checkdupes);
    QVERIFY2(!dl.isEmpty(), qPrintable(why));

    // Every picture on disk is whole and one of ours, none twice, and every
    // header up to the pointer has its picture.
    auto check_consistent = [&](qint64 *pointer_out) {
        const QStringList files = QDir(dl).entryList(QDir::Files | QDir::Hidden);
        QSet<int> have;
        for (const QString &f : files) {
            // A picture being written when the kill came: under its hidden
            // name, never its final one; the next run clears it away.
            if (f.startsWith(QLatin1String(".brivane-")) && f.endsWith(QLatin1String(".part")))
                continue;
            const QByteArray d = digest(read_file(dl + QLatin1Char('/') + f));
            QVERIFY2(wanted.contains(d), qPrintable(QStringLiteral("stray or partial file ") + f));
            QVERIFY2(!have.contains(wanted.value(d)), qPrintable(QStringLiteral("doubled picture ") + f));
            have.insert(wanted.value(d));
        }
        const qint64 pointer = query_number(home, QStringLiteral("select last_msg from groups"));
        for (int n = 1; n <= pointer; ++n)
            QVERIFY2(have.contains(n), qPrintable(QStringLiteral("pointer %1 but picture %2 missing").arg(pointer).arg(n)));
        // At most the header in hand is ahead of the pointer.
        for (int n : have)
            QVERIFY2(n <= pointer + 1, qPrintable(QStringLiteral("picture %1 beyond pointer %2").arg(n).arg(pointer)));
        *pointer_out = pointer;
    };

    qint64 pointer = 0;
    QStringList all_lines;
    for (int kill_at : {3, 7, 6, 9}) {
        QStringList seen;
        const bool killed = run_and_kill(home.path(), kill_at, &seen);
        all_lines << seen;
        QVERIFY2(killed, qPrintable(seen.join(QLatin1Char('\n'))));
        const qint64 before = pointer;
        check_consistent(&pointer);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(pointer >= before + kill_at - 1);
        // A finished header was not fetched again.
        QVERIFY2(!seen.contains(indent + QStringLiteral("Requesting article %1").arg(before)) || before == 0,
                 qPrintable(seen.join(QLatin1Char('\n'))));
    }

    QByteArray out, err;
    QCOMPARE(run_cli(home.path(), {QStringLiteral("run")}, &out, &err), 0);
    QVERIFY2(out.contains("Processed all groups"), out.constData());
    check_consistent(&pointer);
    QCOMPARE(pointer, qint64(total));
    QCOMPARE(QDir(dl).entryList(QDir::Files | QDir::Hidden).size(), total);
    for (int i = 1; i <= total; ++i)
        QCOMPARE(read_file(dl + QStringLiteral("/k%1.jpg").arg(i)), pics.at(i - 1));
    const QStringList left = leftovers(home.path());
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(','))));
    // Each picture is in the log once: a rerun's identical copy is logged only
    // when the kill came between its save and its line.
    const QStringList log = dllog_lines(home);
    QCOMPARE(log.size(), total);
    for (int i = 1; i <= total; ++i)
        QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^k%1\\.jpg,").arg(i))).size(), 1);
    if (checkdupes)
        QCOMPARE(query_number(home, QStringLiteral("select count(distinct filename) from dupes")), qint64(total));
}

void TestRunKill::terminated_stops_in_order_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);  // the terminal closed, a session ended
}

// SIGTERM and SIGHUP act as the Stop button: the run ends in order with exit
// code 3, every finished header's pointer stored and no totals.
void TestRunKill::terminated_stops_in_order()
{
    QFETCH(int, sig);
    BRIVANE_REQUIRE_INN2(inn);
    constexpr int total = 100;  // the run goes on a while after the triggering line
    TempHome home;
    QString why;
    const QString dl = posted_picture_home(inn, home, noisy_jpegs(total, 2000), QStringLiteral("t"), &why);
    QVERIFY2(!dl.isEmpty(), qPrintable(why));

    QStringList seen;
    int code = -1;
    QVERIFY(run_and_kill(home.path(), 4, &seen, sig, &code));
    QCOMPARE(code, 3);
    QVERIFY(!seen.contains(QStringLiteral("Processed all groups")));
    const int finished = int(seen.count(indent + QStringLiteral("Updated message pointer...")));
    QVERIFY(finished >= 4 && finished < total);
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(finished));
    QCOMPARE(QDir(dl).entryList(QDir::Files | QDir::Hidden).size(), finished);

    QByteArray out;
    QCOMPARE(run_cli(home.path(), {QStringLiteral("run")}, &out), 0);
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(total));
    QCOMPARE(QDir(dl).entryList(QDir::Files | QDir::Hidden).size(), total);
    QVERIFY(!out.contains(QStringLiteral("Requesting article %1\n").arg(finished).toUtf8()));
}

QTEST_MAIN(TestRunKill)
#include "test_run_kill.moc"
