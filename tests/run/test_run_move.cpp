// Moving a decoded picture into the download folder: never over an existing
// file, atomic on one file system, whole-or-absent across file systems.
#include "run/article.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

namespace {

bool write(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList hidden_parts(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
}

} // namespace

class TestRunMove : public QObject {
    Q_OBJECT
private slots:
    void same_file_system();
    void never_replaces();
    void across_file_systems();
    void missing_source();
    void contents_compared();
};

void TestRunMove::same_file_system()
{
    TempHome home;
    const QString from = home.file(QStringLiteral("work1234")), to = home.file(QStringLiteral("pic.jpg"));
    QVERIFY(write(from, "picture bytes"));
    bool exists = true;
    QString error;
    QVERIFY2(move_no_replace(from, to, &exists, &error), qPrintable(error));
    QVERIFY(!exists);
    QVERIFY(!QFileInfo::exists(from));
    QCOMPARE(read(to), QByteArray("picture bytes"));
}

void TestRunMove::never_replaces()
{
    TempHome home;
    const QString from = home.file(QStringLiteral("work1234")), to = home.file(QStringLiteral("pic.jpg"));
    QVERIFY(write(from, "new"));
    QVERIFY(write(to, "old"));
    bool exists = false;
    QString error;
    QVERIFY(!move_no_replace(from, to, &exists, &error));
    QVERIFY(exists);
    QVERIFY(!error.isEmpty());
    QCOMPARE(read(to), QByteArray("old"));
    QCOMPARE(read(from), QByteArray("new"));
}

void TestRunMove::across_file_systems()
{
    if (!QFileInfo(QStringLiteral("/dev/shm")).isDir())
        QSKIP("no second file system (/dev/shm) here");
    TempHome home;
    QTemporaryDir other(QStringLiteral("/dev/shm/brivane-move-XXXXXX"));
    QVERIFY(other.isValid());
    const QByteArray data(300000, 'p');
    const QString from = home.file(QStringLiteral("work4321"));
    QVERIFY(write(from, data));
    bool exists = true;
    QString error;
    QVERIFY2(move_no_replace(from, other.filePath(QStringLiteral("big.jpg")), &exists, &error), qPrintable(error));
    QCOMPARE(read(other.filePath(QStringLiteral("big.jpg"))), data);
    QVERIFY(!QFileInfo::exists(from));
    QVERIFY(hidden_parts(other.path()).isEmpty());

    // An existing name there is not replaced either, and the copy is cleaned up.
    QVERIFY(write(from, "second"));
    QVERIFY(!move_no_replace(from, other.filePath(QStringLiteral("big.jpg")), &exists, &error));
    QVERIFY(exists);
    QCOMPARE(read(other.filePath(QStringLiteral("big.jpg"))), data);
    QVERIFY(hidden_parts(other.path()).isEmpty());
    QCOMPARE(read(from), QByteArray("second"));
}

void TestRunMove::missing_source()
{
    TempHome home;
    bool exists = true;
    QString error;
    QVERIFY(!move_no_replace(home.file(QStringLiteral("nothing")), home.file(QStringLiteral("x.jpg")), &exists, &error));
    QVERIFY(!exists);
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFileInfo::exists(home.file(QStringLiteral("x.jpg"))));
}

void TestRunMove::contents_compared()
{
    TempHome home;
    const QString a = home.file(QStringLiteral("a")), b = home.file(QStringLiteral("b")),
                  c = home.file(QStringLiteral("c")), d = home.file(QStringLiteral("d"));
    QByteArray big(200000, 'x');
    QVERIFY(write(a, big));
    QVERIFY(write(b, big));
    big[199999] = 'y';
    QVERIFY(write(c, big));
    QVERIFY(write(d, big.left(100)));
    QVERIFY(same_contents(a, b));
    QVERIFY(!same_contents(a, c));
    QVERIFY(!same_contents(a, d));
    QVERIFY(!same_contents(a, home.file(QStringLiteral("missing"))));
    QVERIFY(write(home.file(QStringLiteral("e")), QByteArray()));
    QVERIFY(write(home.file(QStringLiteral("f")), QByteArray()));
    QVERIFY(same_contents(home.file(QStringLiteral("e")), home.file(QStringLiteral("f"))));
}

QTEST_MAIN(TestRunMove)
#include "test_run_move.moc"
