// Saving a picture on a file system that offers neither renameat2's
// no-replace move nor hard links (FUSE mounts such as gvfs shares). This
// binary puts its own renameat2() and link() in front of the C library's, so
// every save in it meets such a file system.
#include "preview/decoder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

using namespace brivane;

namespace {

int link_errno = EPERM;        // what link() answers; 0: the C library's own link
QByteArray rival_path;         // made by "another program" just before link() answers
QByteArray rival_bytes;

} // namespace

extern "C" int renameat2(int, const char *, int, const char *, unsigned int) noexcept
{
    errno = EINVAL;
    return -1;
}

extern "C" int link(const char *from, const char *to) noexcept
{
    if (!rival_path.isEmpty()) {
        QFile f(QString::fromLocal8Bit(rival_path));
        if (f.open(QIODevice::WriteOnly))
            f.write(rival_bytes);
    }
    if (link_errno == 0) {
        using Link = int (*)(const char *, const char *);
        static const auto real = reinterpret_cast<Link>(dlsym(RTLD_NEXT, "link"));
        return real(from, to);
    }
    errno = link_errno;
    return -1;
}

class SaveFallback : public QObject {
    Q_OBJECT

    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static QStringList part_files(const QString &folder)
    {
        return QDir(folder).entryList({QStringLiteral(".brivane-*.part")}, QDir::Files | QDir::Hidden);
    }

private slots:
    void init()
    {
        link_errno = EPERM;
        rival_path.clear();
        rival_bytes.clear();
    }

    void saved_whole_without_rename_flags_or_links_data()
    {
        QTest::addColumn<int>("link_answer");
        QTest::newRow("link not permitted") << EPERM;
        QTest::newRow("link not implemented") << ENOSYS;
        QTest::newRow("link not supported") << EOPNOTSUPP;
        QTest::newRow("hard links work") << 0;
    }

    void saved_whole_without_rename_flags_or_links()
    {
        QFETCH(int, link_answer);
        link_errno = link_answer;
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("photo.jpg"));
        const QByteArray picture(150000, '\xd8');

        const DecodeResult r = write_new_file(target, picture);
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(read(target), picture);
        QCOMPARE(part_files(dir.path()), QStringList());
        // A second save of that name never replaces the first.
        QCOMPARE(write_new_file(target, QByteArray("other")).status, DecodeStatus::TargetExists);
        QCOMPARE(read(target), picture);
        QCOMPARE(part_files(dir.path()), QStringList());
    }

    // The name taken by someone else while the picture was being written.
    void a_name_taken_meanwhile_is_left_alone()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("photo.jpg"));
        rival_path = QFile::encodeName(target);
        rival_bytes = "someone else's picture";

        const DecodeResult r = write_new_file(target, QByteArray(5000, 'x'));
        QCOMPARE(r.status, DecodeStatus::TargetExists);
        QCOMPARE(read(target), rival_bytes);
        QCOMPARE(part_files(dir.path()), QStringList());
    }

    // Other failures of link() stay failures, with their reason.
    void another_link_failure_is_reported()
    {
        link_errno = ENOSPC;
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("photo.jpg"));
        const DecodeResult r = write_new_file(target, QByteArray(5000, 'x'));
        QCOMPARE(r.status, DecodeStatus::WriteError);
        QVERIFY2(r.message.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))), qPrintable(r.message));
        QVERIFY(!QFile::exists(target));
        QCOMPARE(part_files(dir.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(SaveFallback)
#include "test_save_fallback.moc"
