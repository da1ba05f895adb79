// brivane-cli run with its download folder on a small tmpfs that fills up in
// the middle of the run, then run again once there is room: the run ends with
// the write error as its last line, nothing half written or hidden is left on
// the full disk, the pointer stops at the last saved picture, and the rerun
// fetches exactly the pictures that did not fit.
//
// The tmpfs is mounted in a private mount namespace (unshare), so the test
// needs root or user namespaces; without either it is skipped.
#include "test_run_support.h"

#include "support/inn2.h"

#include <QDir>
#include <QProcessEnvironment>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

namespace {

struct Phase {
    int code = -1;
    QStringList lines;
};

} // namespace

class TestRunDiskFull : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void disk_fills_then_rerun();
};

void TestRunDiskFull::initTestCase()
{
    BRIVANE_REQUIRE_INN2(inn);
    QVERIFY(QFileInfo::exists(QStringLiteral(BRIVANE_CLI_PATH)));
}

void TestRunDiskFull::disk_fills_then_rerun()
{
    const QStringList ns = namespace_args();
    if (ns.isEmpty())
        QSKIP("no private mount namespace here (needs root or user namespaces)");
    BRIVANE_REQUIRE_INN2(inn);
    constexpr int total = 6;
    const QList<QByteArray> pics = noisy_jpegs(total, 3000, 200, 150);
    TempHome home;
    QString why;
    const QString dl = posted_picture_home(inn, home, pics, QStringLiteral("d"), &why);
    QVERIFY2(!dl.isEmpty(), qPrintable(why));

    // Room for the first two pictures and half of the third.
    auto pages = [](qsizetype bytes) { return (bytes + 4095) / 4096; };
    const qsizetype room_kb = 4 * (pages(pics[0].size()) + pages(pics[1].size()) + pages(pics[2].size()) / 2);

    const QString snap1 = home.file(QStringLiteral("after-full"));
    const QString snap2 = home.file(QStringLiteral("after-rerun"));
    QVERIFY(QDir().mkpath(snap1) && QDir().mkpath(snap2));

    // Both runs inside one namespace, the folder's contents copied out after
    // each (the tmpfs goes with the namespace). Each run's output ends with
    // its exit code.
    const QString script = QStringLiteral(
        "set -u\n"
        "mount -t tmpfs -o size=%1k brivane \"$1\" || exit 90\n"
        "\"$3\" run > \"$2/run1.txt\" 2>&1; echo \"exit $?\" >> \"$2/run1.txt\"\n"
        "cp -a \"$1/.\" \"$4/\"\n"
        "df -k \"$1\" | tail -n 1 > \"$2/df1.txt\"\n"
        "mount -o remount,size=8m \"$1\" || exit 91\n"
        "\"$3\" run > \"$2/run2.txt\" 2>&1; echo \"exit $?\" >> \"$2/run2.txt\"\n"
        "cp -a \"$1/.\" \"$5/\"\n").arg(room_kb);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BRIVANE_HOME"), home.path());
    QByteArray out;
    QVERIFY2(run_in_namespace(ns, script, {dl, home.path(), QStringLiteral(BRIVANE_CLI_PATH), snap1, snap2},
                              &out, env),
             out.constData());

    auto phase = [&](const QString &file) {
        Phase ph;
        ph.lines = QString::fromUtf8(home.read(file)).remove(QLatin1Char('\r')).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!ph.lines.isEmpty() && ph.lines.last().startsWith(QLatin1String("exit ")))
            ph.code = ph.lines.takeLast().mid(5).toInt();
        return ph;
    };
    const Phase first = phase(QStringLiteral("run1.txt"));
    const Phase second = phase(QStringLiteral("run2.txt"));
    const QString shown1 = first.lines.join(QLatin1Char('\n'));
    const QString shown2 = second.lines.join(QLatin1Char('\n'));

    // The first run saved two, then stopped on the third with the reason as
    // its last line: a failure, not a finished run.
    QCOMPARE(first.code, 3);
    QVERIFY2(!first.lines.isEmpty()
                 && first.lines.last() == indent + QStringLiteral("Cannot write %1/d3.jpg: No space left on device").arg(dl),
             qPrintable(shown1));
    QVERIFY(!first.lines.contains(QStringLiteral("Processed all groups")));
    QCOMPARE(QDir(snap1).entryList(QDir::Files | QDir::Hidden),
             (QStringList{QStringLiteral("d1.jpg"), QStringLiteral("d2.jpg")}));
    QCOMPARE(read_file(snap1 + QStringLiteral("/d1.jpg")), pics[0]);
    QCOMPARE(read_file(snap1 + QStringLiteral("/d2.jpg")), pics[1]);
    // The cut-off picture's space was given back.
    const QStringList df = QString::fromUtf8(home.read(QStringLiteral("df1.txt"))).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QVERIFY2(df.size() >= 3 && df[2].toLongLong() * 1024 <= 4096 * (pages(pics[0].size()) + pages(pics[1].size())),
             qPrintable(df.join(QLatin1Char(' '))));

    // The rerun starts at the picture that did not fit and ends the group.
    QCOMPARE(second.code, 0);
    QVERIFY2(second.lines.contains(QStringLiteral("Processed all groups")), qPrintable(shown2));
    QVERIFY2(second.lines.contains(indent + QStringLiteral("Requesting article 3")), qPrintable(shown2));
    QVERIFY2(!second.lines.contains(indent + QStringLiteral("Requesting article 2")), qPrintable(shown2));
    QStringList all;
    for (int i = 1; i <= total; ++i)
        all << QStringLiteral("d%1.jpg").arg(i);
    QCOMPARE(QDir(snap2).entryList(QDir::Files | QDir::Hidden), all);
    for (int i = 1; i <= total; ++i)
        QCOMPARE(read_file(snap2 + QStringLiteral("/d%1.jpg").arg(i)), pics[i - 1]);
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(total));
    QCOMPARE(query_number(home, QStringLiteral("select count(*) from dupes")), qint64(total));
    QCOMPARE(dllog_lines(home).size(), total);
}

QTEST_MAIN(TestRunDiskFull)
#include "test_run_diskfull.moc"
