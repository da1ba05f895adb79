// The download run end to end against INN2 on 127.0.0.1: pictures saved with
// the right bytes, every filter rejecting its case, the download log, the
// duplicate rows, the message pointers, a second run with nothing new, group
// folders, numbered names, a MIME-encoded name and the preview.
#include "test_run_support.h"

#include "shell/textutil.h"
#include "support/inn2.h"

#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace brivane;
using namespace brivane::test;

namespace {

const QString from = QStringLiteral("Poster <poster@example.invalid>");

NewsArticle uu_article(const QString &group, const QString &subject, const QByteArray &jpeg,
                       const QString &name)
{
    NewsArticle a;
    a.groups = {group};
    a.subject = subject;
    a.from = from;
    a.body = "A picture for you.\r\n\r\n" + uuencode_block(jpeg, name);
    return a;
}

// A picture posted under its own name, subject "<name> (1/1)".
NewsArticle uu_picture(const QString &group, const QString &name, const QByteArray &jpeg)
{
    return uu_article(group, name + QStringLiteral(" (1/1)"), jpeg, name);
}

NewsArticle mime_article(const QString &group, const QString &subject, const QByteArray &jpeg,
                         const QString &name)
{
    NewsArticle a;
    a.groups = {group};
    a.subject = subject;
    a.from = from;
    QByteArray headers;
    a.body = mime_body(jpeg, name, &headers);
    for (const QByteArray &h : headers.split('\n')) {
        const QByteArray line = h.trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            a.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    return a;
}

NewsArticle text_article(const QString &group, const QString &subject, const QByteArray &body,
                         const QString &sender = from)
{
    NewsArticle a;
    a.groups = {group};
    a.subject = subject;
    a.from = sender;
    a.body = body;
    return a;
}

} // namespace

class TestRun : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void filters_pictures_log_and_pointers();
    void second_run_has_nothing_new();
    void jpeg_wanted_by_its_own_mask();
    void numbered_names_without_duplicate_check();
    void group_folders_created_once();
    void overview_in_chunks();
    void preview_lines();
    void preconditions();
};

void TestRun::initTestCase()
{
    BRIVANE_REQUIRE_INN2(inn);
    Q_UNUSED(inn);
}

// One group holding a case for every filter and both encodings.
void TestRun::filters_pictures_log_and_pointers()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QStringList others;
    for (int i = 0; i < 3; ++i)
        others << inn.new_group();
    QVERIFY2(!group.isEmpty() && !others.contains(QString()), qPrintable(inn.error()));

    const QByteArray pic1 = make_jpeg(1), pic2 = make_jpeg(2), cat = make_jpeg(3, 200, 150),
                     big = make_jpeg(4, 400, 400, true), cross = make_jpeg(5), known = make_jpeg(6),
                     locked = make_jpeg(7), evil = make_jpeg(8), comma = make_jpeg(9), cafe = make_jpeg(10, 200, 150);
    QVERIFY(big.size() > 1500 * 45);

    QList<NewsArticle> arts;
    arts << uu_picture(group, QStringLiteral("pic01.jpg"), pic1);
    arts << mime_article(group, QStringLiteral("photo.jpg (1/1)"), pic2, QStringLiteral("photo.jpg"));
    arts << text_article(group, QStringLiteral("just talk"), "no picture here\r\n");
    arts << uu_article(group, QStringLiteral("pic.jpg (2/3)"), pic1, QStringLiteral("pic.jpg"));
    arts << uu_article(group, QStringLiteral("holiday (12) pic.jpg"), pic1, QStringLiteral("pic.jpg"));
    NewsArticle x = uu_picture(group, QStringLiteral("cross.jpg"), cross);
    x.groups << others;
    arts << x;
    arts << uu_picture(group, QStringLiteral("known.jpg"), known);
    NewsArticle l = uu_picture(group, QStringLiteral("locked.jpg"), locked);
    l.from = QStringLiteral("Spam <bad@spam.invalid>");
    arts << l;
    arts << text_article(group, QStringLiteral("tiny.jpg (1/1)"), "one line\r\n");
    arts << uu_picture(group, QStringLiteral("big.jpg"), big);
    // Data cut off before its end: no picture.
    QByteArray cut = uuencode_block(pic1, QStringLiteral("broken.jpg"));
    cut.truncate(cut.size() / 2);
    cut = cut.left(cut.lastIndexOf('\n') + 1);
    arts << text_article(group, QStringLiteral("broken.jpg (1/1)"), "x\r\n" + cut);
    // No mask in the subject, a large body: fetched as "unknown", named by its begin line.
    arts << uu_article(group, QStringLiteral("something for you"), cat, QStringLiteral("cat.gif"));
    // A non-ASCII name the way mail and news clients send it: with no mask
    // in the subject only the decoded name passes, and is the one saved.
    arts << mime_article(group, QStringLiteral("something else"), cafe, QStringLiteral("=?UTF-8?B?Y2Fmw6kuanBn?="));
    // A begin line naming a path outside the download folder.
    arts << uu_article(group, QStringLiteral("evil.jpg (1/1)"), evil, QStringLiteral("../../evil.jpg"));
    arts << uu_article(group, QStringLiteral("a, b.jpg (1/1)"), comma, QStringLiteral("b.jpg"));
    // Fetched as "unknown", but named as no wanted kind of file: rejected once.
    arts << uu_article(group, QStringLiteral("more for you"), cat, QStringLiteral("notes.txt"));
    // A picture by its subject whose begin line gives it another kind.
    arts << uu_article(group, QStringLiteral("trap.jpg (1/1)"), pic2, QStringLiteral("trap.jpg.desktop"));
    const QStringList ids = inn.post_all(arts);
    QCOMPARE(ids.size(), arts.size());
    qint64 count = 0, low = 0, high = 0;
    QVERIFY(inn.group_range(group, &count, &low, &high));
    QCOMPARE(high, qint64(arts.size()));

    RunRig rig;
    write_settings(rig.home, inn.setting(), rig.dl, [](Settings &s) {
        s.rcvunk = true;
        s.min_lines = 5;
        s.max_lines = 1500;
    });
    QVERIFY(fill_database(rig.home, {{group, inn.setting()}, {group, QStringLiteral("other.server")}},
                          {QStringLiteral("jpg"), QStringLiteral("gif")}));
    {
        Database db;
        QVERIFY(db.open(rig.home.file(QStringLiteral("brivane.mdb"))));
        QVERIFY(db.add_dupe(QStringLiteral("known.jpg")));
        QVERIFY(db.exec(QStringLiteral("insert into lockout (sender) values (?)"),
                        {QStringLiteral("Spam <bad@spam.invalid>")}));
    }
    QVERIFY2(rig.start(), qPrintable(rig.why));
    const Outcome o = rig.run();
    QVERIFY2(o == Outcome::Done, qPrintable(rig.dump()));
    const RunFrontend &ui = rig.ui;

    // The group loop.
    QVERIFY(ui.has(QStringLiteral("Selected group: ") + group));
    QVERIFY2(ui.has(QStringLiteral("Getting up to %1 article headers").arg(arts.size())), qPrintable(rig.dump()));
    QVERIFY(ui.has(QStringLiteral("Received %1 headers").arg(arts.size())));
    QVERIFY(ui.has(QStringLiteral("Completed: ") + group));
    QCOMPARE(ui.count(indent + QStringLiteral("Updated message pointer...")), int(arts.size()));

    // Every filter with its line.
    QVERIFY(ui.has(indent + QStringLiteral("File mask not found!")));
    QVERIFY(ui.has(indent + QStringLiteral("Invalid binary!")));
    QVERIFY(ui.has(indent + QStringLiteral("Not a binary!")));
    QVERIFY(ui.has(indent + QStringLiteral("Xpost count 4 exceeds threshold of 3")));
    QVERIFY(ui.has(indent + QStringLiteral("Duplicate file: known.jpg")));
    QVERIFY(ui.has(indent + QStringLiteral("Locked out: Spam <bad@spam.invalid>")));
    QVERIFY(ui.has(indent + QStringLiteral("Line count too low... 1")));
    QVERIFY(ui.count_starting(indent + QStringLiteral("Line count too high... ")) == 1);
    QCOMPARE(ui.count(indent + QStringLiteral("Invalid picture file detected!")), 1);  // the cut-off one
    QCOMPARE(ui.count(indent + QStringLiteral("Invalid file format!")), 1);
    // The talk, the notes and the trap.
    QCOMPARE(ui.count(indent + QStringLiteral("File mask not found!")), 3);
    QCOMPARE(ui.count(indent + QStringLiteral("UU Decode successful...")), 5);
    QCOMPARE(ui.count(indent + QStringLiteral("MIME Decode successful...")), 2);
    QCOMPARE(ui.count_starting(indent + QStringLiteral("Requesting article ")), 9);

    // Counters: 6 saved; rejected: no mask, 2/3, (12), xpost, tiny, big, broken,
    // notes, trap = 9; one duplicate, one locked out.
    QCOMPARE(rig.counters.files_this_count, qint64(6));
    QCOMPARE(rig.counters.articles_count, qint64(arts.size()));
    QCOMPARE(rig.counters.non_bin_count, qint64(9));
    QCOMPARE(rig.counters.dupes_this_count, qint64(1));
    QCOMPARE(rig.counters.lskip_count, qint64(1));
    QVERIFY(ui.has(QStringLiteral("Processed all groups")));
    QVERIFY(ui.has(QStringLiteral("Total Pictures: 6")));
    QVERIFY(ui.has(QStringLiteral("Total Articles: %1").arg(arts.size())));
    QVERIFY(ui.has(QStringLiteral(" Total Skipped: 11")));
    QCOMPARE(ui.count_starting(QStringLiteral("   Total Btyes: ")), 1);
    QVERIFY(rig.session().total_bytes > pic1.size() + pic2.size() + cat.size() + evil.size());
    QCOMPARE(ui.status.filter(QStringLiteral("   Total Btyes: ")).first(),
             QStringLiteral("   Total Btyes: ") + format_thousands(rig.session().total_bytes));

    // The pictures, byte for byte, and nothing outside the download folder.
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("b.jpg"), QString::fromUtf8("café.jpg"),
                                          QStringLiteral("cat.gif"), QStringLiteral("evil.jpg"),
                                          QStringLiteral("photo.jpg"), QStringLiteral("pic01.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("pic01.jpg")), pic1);
    QCOMPARE(rig.picture(QStringLiteral("photo.jpg")), pic2);
    QCOMPARE(rig.picture(QStringLiteral("cat.gif")), cat);
    QCOMPARE(rig.picture(QString::fromUtf8("café.jpg")), cafe);
    QCOMPARE(rig.picture(QStringLiteral("evil.jpg")), evil);
    QVERIFY(!QFileInfo::exists(rig.home.file(QStringLiteral("evil.jpg"))));
    QVERIFY(!QFileInfo::exists(QFileInfo(rig.home.path()).dir().filePath(QStringLiteral("evil.jpg"))));

    // The log: saved name, subject, sender.
    const QStringList log = rig.dllog();
    QCOMPARE(log.size(), 6);
    QCOMPARE(log.first(), QStringLiteral("pic01.jpg,pic01.jpg (1/1),") + from);
    QVERIFY(log.contains(QStringLiteral("b.jpg,a, b.jpg (1/1),") + from));
    QCOMPARE(log.last().count(QLatin1Char(',')), 3);

    // Duplicate rows hold the saved names.
    const QStringList dupes = query_texts(rig.home, QStringLiteral("select filename from dupes order by filename"));
    QCOMPARE(dupes, (QStringList{QStringLiteral("b.jpg"), QString::fromUtf8("café.jpg"), QStringLiteral("cat.gif"),
                                 QStringLiteral("evil.jpg"), QStringLiteral("known.jpg"),
                                 QStringLiteral("photo.jpg"), QStringLiteral("pic01.jpg")}));
    QVERIFY(ui.has(indent + QStringLiteral("Logged file: pic01.jpg")));

    // The pointer of this server's row is the last header; the other server's row is untouched.
    QCOMPARE(rig.pointer(group, inn.setting()), high);
    QCOMPARE(rig.pointer(group, QStringLiteral("other.server")), qint64(0));
    QVERIFY(rig.leftovers().isEmpty());
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
}

// "jpe" is the mask that takes "photo.jpeg", which is filed as "photo.jpg":
// the name it is filed under must not undo the choice.
void TestRun::jpeg_wanted_by_its_own_mask()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY(!group.isEmpty());
    const QByteArray holiday = make_jpeg(41), sunset = make_jpeg(42, 200, 150);
    QList<NewsArticle> arts;
    arts << uu_picture(group, QStringLiteral("holiday.jpeg"), holiday);
    // No mask in the subject: fetched as "unknown", wanted by its own name.
    arts << mime_article(group, QStringLiteral("look at this"), sunset, QStringLiteral("Sunset.JPEG"));
    // Named as it was filed, a real ".jpg": not wanted.
    arts << uu_article(group, QStringLiteral("one more"), make_jpeg(44, 200, 150), QStringLiteral("Sunset.jpg"));
    arts << uu_picture(group, QStringLiteral("plain.jpg"), make_jpeg(43));
    QCOMPARE(inn.post_all(arts).size(), arts.size());

    RunRig rig;
    write_settings(rig.home, inn.setting(), rig.dl, [](Settings &s) { s.rcvunk = true; });
    QVERIFY(fill_database(rig.home, {{group, inn.setting()}}, {QStringLiteral("jpe")}));
    QVERIFY2(rig.start(), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("Sunset.jpg"), QStringLiteral("holiday.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("holiday.jpg")), holiday);
    QCOMPARE(rig.picture(QStringLiteral("Sunset.jpg")), sunset);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("File mask not found!")), 2);  // plain.jpg, Sunset.jpg
}

void TestRun::second_run_has_nothing_new()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY(!group.isEmpty());
    QCOMPARE(inn.post_all({uu_picture(group, QStringLiteral("one.jpg"), make_jpeg(11))}).size(), 1);

    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {group}), qPrintable(rig.why));
    // Left in the folder: a temporary file of a killed run, and one that a
    // copy of the program with another home is writing now (it holds a lock).
    const QString stale = rig.dl + QStringLiteral("/.brivane-stale.part");
    const QString busy = rig.dl + QStringLiteral("/.brivane-busy.part");
    QVERIFY(rig.home.write(QStringLiteral("pictures/.brivane-stale.part"), "half"));
    QVERIFY(rig.home.write(QStringLiteral("pictures/.brivane-busy.part"), "half"));
    const int held = ::open(QFile::encodeName(busy).constData(), O_RDONLY);
    QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(!QFile::exists(stale));
    QVERIFY(QFile::exists(busy));
    ::close(held);
    QVERIFY(QFile::remove(busy));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("one.jpg")});
    QCOMPARE(rig.pointer(group, inn.setting()), qint64(1));

    // A run with nothing to file clears them too, also in the group's folder.
    QVERIFY(rig.home.write(QStringLiteral("pictures/.brivane-killed.part"), "half"));
    QVERIFY(QDir(rig.dl).mkdir(group));
    QVERIFY(rig.home.write(QStringLiteral("pictures/") + group + QStringLiteral("/.brivane-killed.part"), "half"));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(!QFile::exists(rig.dl + QStringLiteral("/.brivane-killed.part")));
    QVERIFY(!QFile::exists(rig.dl + QLatin1Char('/') + group + QStringLiteral("/.brivane-killed.part")));
    QVERIFY2(rig.ui.has(indent + QStringLiteral("No new messages...")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Completed: ") + group));
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Requesting article ")), 0);
    QVERIFY(rig.ui.has(QStringLiteral("Total Pictures: 0")));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("one.jpg")});
    QCOMPARE(rig.pointer(group, inn.setting()), qint64(1));

    // A new article later: only that one is looked at.
    QCOMPARE(inn.post_all({uu_picture(group, QStringLiteral("two.jpg"), make_jpeg(12))}).size(), 1);
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Requesting article ")), 1);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Requesting article 2")));
    QCOMPARE(rig.pointer(group, inn.setting()), qint64(2));

    // A pointer edited by hand to the largest number: nothing new, not the
    // whole group again.
    const qint64 largest = std::numeric_limits<qint64>::max();
    {
        Database db;
        QVERIFY(db.open(rig.home.file(QStringLiteral("brivane.mdb"))));
        QVERIFY(db.set_last_msg(inn.setting(), group, largest));
    }
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("No new messages...")), qPrintable(rig.dump()));
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Requesting article ")), 0);
    QCOMPARE(rig.pointer(group, inn.setting()), largest);
}

void TestRun::numbered_names_without_duplicate_check()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY(!group.isEmpty());
    const QByteArray a = make_jpeg(21), b = make_jpeg(22), c = make_jpeg(23);
    QList<NewsArticle> arts;
    for (const QByteArray &pic : {a, b, c})
        arts << uu_picture(group, QStringLiteral("same.jpg"), pic);
    // The first picture posted again: the same bytes are not saved twice.
    arts << uu_picture(group, QStringLiteral("same.jpg"), a);
    // And the second: found under its numbered name.
    arts << uu_picture(group, QStringLiteral("same.jpg"), b);
    // A name without an extension.
    arts << uu_article(group, QStringLiteral("noext.jpg (1/1)"), b, QStringLiteral("noext"));
    // The log's first field is the name, which may hold commas: found saved
    // again, it is known as logged all the same.
    const QByteArray commas = make_jpeg(25);
    arts << uu_picture(group, QStringLiteral("a,b, c.jpg"), commas);
    QCOMPARE(inn.post_all(arts).size(), arts.size());

    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {group}, false), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);

    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("a,b, c.jpg"), QStringLiteral("same.jpg"),
                                          QStringLiteral("same_1.jpg"), QStringLiteral("same_2.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("same.jpg")), a);
    QCOMPARE(rig.picture(QStringLiteral("same_1.jpg")), b);
    QCOMPARE(rig.picture(QStringLiteral("same_2.jpg")), c);
    QCOMPARE(rig.picture(QStringLiteral("a,b, c.jpg")), commas);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: same.jpg")));
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: same_1.jpg")));
    // "noext" matches no mask: it never reaches the download folder.
    QCOMPARE(rig.ui.count(indent + QStringLiteral("File mask not found!")), 1);
    const QStringList log = rig.dllog();
    QCOMPARE(log.size(), 4);
    QVERIFY(log.at(1).startsWith(QStringLiteral("same_1.jpg,same.jpg (1/1),")));
    QVERIFY(log.at(2).startsWith(QStringLiteral("same_2.jpg,")));
    QVERIFY(log.at(3).startsWith(QStringLiteral("a,b, c.jpg,a,b, c.jpg (1/1),")));
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes")), qint64(0));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Logged file: same.jpg")));
    QCOMPARE(rig.counters.files_this_count, qint64(4));
    QCOMPARE(rig.counters.dupes_this_count, qint64(2));

    // Read again from the start, the folder as it is: every picture is found.
    QVERIFY(rig.app->db().exec(QStringLiteral("update groups set last_msg = 0")));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Identical file already saved: same_2.jpg")), 1);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Identical file already saved: same_1.jpg")), 2);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Identical file already saved: a,b, c.jpg")), 1);
    QCOMPARE(rig.pictures().size(), 4);
    QCOMPARE(rig.dllog(), log);  // every picture was logged: nothing added

    // A log line lost (a run killed between a save and its line, the header
    // then read again): the line is made once, the others are not doubled.
    // A line of a huge subject, whose far end only looks like that line,
    // does not count as it.
    QStringList without = log;
    const QString huge = QString(65525, QLatin1Char('a')) + log.at(1);  // 64 KiB in all before it
    without[1] = QStringLiteral("other.jpg,") + huge;
    rig.home.write(QStringLiteral("dllog.txt"), (without.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
    QVERIFY(rig.app->db().exec(QStringLiteral("update groups set last_msg = 0")));
    QCOMPARE(rig.run(), Outcome::Done);
    QStringList mended = rig.dllog();
    QCOMPARE(mended.size(), 5);
    QVERIFY(mended.removeOne(QStringLiteral("other.jpg,") + huge));
    QCOMPARE(mended.filter(QRegularExpression(QStringLiteral("^same_1\\.jpg,same\\.jpg \\(1/1\\),"))).size(), 1);
    mended.sort();
    QStringList sorted = log;
    sorted.sort();
    QCOMPARE(mended, sorted);
    QCOMPARE(rig.pictures().size(), 4);

    // All hundred numbered names taken: a new picture goes under the name
    // with the article's number (here taken too, so numbered in turn), and
    // is found there when read again.
    for (int n = 3; n <= 100; ++n)
        QVERIFY(rig.home.write(QStringLiteral("pictures/same_%1.jpg").arg(n), "taken"));
    QCOMPARE(inn.post_all({uu_picture(group, QStringLiteral("same.jpg"), make_jpeg(24))}).size(), 1);
    qint64 count = 0, low = 0, high = 0;
    QVERIFY(inn.group_range(group, &count, &low, &high));
    const QString by_number = QStringLiteral("same_%1_1.jpg").arg(high);
    for (int round = 0; round < 2; ++round) {
        QVERIFY(rig.app->db().exec(QStringLiteral("update groups set last_msg = 0")));
        QCOMPARE(rig.run(), Outcome::Done);
        QCOMPARE(rig.picture(by_number), make_jpeg(24));
        QCOMPARE(rig.pictures().size(), 103);
    }
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: ") + by_number));
}

void TestRun::group_folders_created_once()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString g1 = inn.new_group(), g2 = inn.new_group();
    QVERIFY(!g1.isEmpty() && !g2.isEmpty());
    QList<NewsArticle> arts;
    arts << uu_picture(g1, QStringLiteral("a.jpg"), make_jpeg(31));
    arts << uu_picture(g1, QStringLiteral("b.jpg"), make_jpeg(32));
    arts << uu_picture(g2, QStringLiteral("a.jpg"), make_jpeg(33));
    arts << uu_picture(g2, QStringLiteral("c.jpg"), make_jpeg(34));
    QCOMPARE(inn.post_all(arts).size(), arts.size());

    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {g1, g2}, false, true), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);

    const QString d1 = QDir::toNativeSeparators(rig.dl + QLatin1Char('/') + g1);
    const QString d2 = QDir::toNativeSeparators(rig.dl + QLatin1Char('/') + g2);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Created dir: ") + d1), 1);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Created dir: ") + d2), 1);
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Created dir: ")), 2);
    QCOMPARE(rig.pictures(g1), (QStringList{QStringLiteral("a.jpg"), QStringLiteral("b.jpg")}));
    QCOMPARE(rig.pictures(g2), (QStringList{QStringLiteral("a.jpg"), QStringLiteral("c.jpg")}));
    QCOMPARE(read_file(d2 + QStringLiteral("/a.jpg")), make_jpeg(33));
    QCOMPARE(rig.pictures(), QStringList());
    QCOMPARE(rig.pointer(g1, inn.setting()), qint64(2));
    QCOMPARE(rig.pointer(g2, inn.setting()), qint64(2));

    // The folders exist now: a later run creates none.
    QCOMPARE(inn.post_all({uu_picture(g1, QStringLiteral("d.jpg"), make_jpeg(35))}).size(), 1);
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Created dir: ")), 0);
    QCOMPARE(rig.pictures(g1).size(), 3);
}

void TestRun::overview_in_chunks()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY(!group.isEmpty());
    QList<NewsArticle> arts;
    for (int i = 0; i < 7; ++i)
        arts << uu_picture(group, QStringLiteral("c%1.jpg").arg(i), make_jpeg(40 + i));
    QCOMPARE(inn.post_all(arts).size(), arts.size());

    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {group}), qPrintable(rig.why));
    QCOMPARE(rig.run(3), Outcome::Done);
    QCOMPARE(rig.ui.count(QStringLiteral("Received 3 headers")), 2);
    QCOMPARE(rig.ui.count(QStringLiteral("Received 1 headers")), 1);
    QCOMPARE(rig.pictures().size(), 7);
    QCOMPARE(rig.pointer(group, inn.setting()), qint64(7));
    // The headers' bar, scaled to the group, shows the headers received
    // while a chunk arrives and those done while it is examined: it falls
    // back by at most the chunk in hand, never to the chunk's own count.
    QList<qint64> bar = rig.ui.header_bar;
    while (!bar.isEmpty() && bar.last() == 0)
        bar.removeLast();
    QVERIFY(bar.size() > 3);
    QStringList shown;
    for (qint64 x : bar)
        shown << QString::number(x);
    for (qsizetype i = 1; i < bar.size(); ++i)
        QVERIFY2(bar.at(i) >= bar.at(i - 1) - 3, qPrintable(shown.join(QLatin1Char(' '))));
    QCOMPARE(*std::max_element(bar.begin(), bar.end()), qint64(7));
    // Each chunk's headers come before the next chunk is fetched.
    const qsizetype second = rig.ui.status.indexOf(QStringLiteral("Received 3 headers"), 
                                                   rig.ui.status.indexOf(QStringLiteral("Received 3 headers")) + 1);
    QVERIFY(rig.ui.status.indexOf(indent + QStringLiteral("Requesting article 3")) < second);
    QVERIFY(rig.ui.status.indexOf(indent + QStringLiteral("Requesting article 4")) > second);
}

void TestRun::preview_lines()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY(!group.isEmpty());
    QList<NewsArticle> arts;
    arts << uu_picture(group, QStringLiteral("view.jpg"), make_jpeg(51));
    // Not a JPEG inside: the preview cannot draw it.
    arts << uu_picture(group, QStringLiteral("fake.jpg"), QByteArray(3000, 'x'));
    QCOMPARE(inn.post_all(arts).size(), arts.size());

    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {group}, false), qPrintable(rig.why));
    rig.app->settings().preview = true;
    rig.ui.preview_on = true;
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("loading view.jpg for preview...")));
    QVERIFY(rig.ui.has(indent + QStringLiteral("loading fake.jpg for preview...")));
    QVERIFY(rig.ui.has(indent + QStringLiteral("Error loading fake.jpg")));
    QCOMPARE(rig.ui.logos, 1);
    QCOMPARE(rig.app->shared().preview_path, QDir::toNativeSeparators(rig.dl + QStringLiteral("/view.jpg")));
    QCOMPARE(rig.ui.text(Box::ppic), QString());

    // Preview off: no preview lines.
    QCOMPARE(inn.post_all({uu_picture(group, QStringLiteral("quiet.jpg"), make_jpeg(52))}).size(), 1);
    rig.app->settings().preview = false;
    rig.ui.set_text(Box::ppic, QStringLiteral("kept"));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("loading ")), 0);
    QCOMPARE(rig.ui.text(Box::ppic), QStringLiteral("kept"));
}

void TestRun::preconditions()
{
    RunRig rig;
    write_settings(rig.home, QStringLiteral("127.0.0.1:1"), rig.dl, [](Settings &s) { s.checkdupes = false; });
    QVERIFY(fill_database(rig.home, {}, {}));
    QVERIFY2(rig.start(), qPrintable(rig.why));
    Settings &s = rig.app->settings();

    auto expect = [&](const QString &message) {
        QCOMPARE(rig.run(), Outcome::Message);
        QCOMPARE(rig.ui.messages, QStringList{message});
        QVERIFY(!rig.ui.has(QStringLiteral("Connecting to server...")));
    };
    s.news_server = QStringLiteral("  ");
    s.xposts = 0;
    expect(QStringLiteral("No news server  selected!"));
    s.news_server = QStringLiteral("127.0.0.1:1");
    expect(QStringLiteral("Set Xposts in Preferences!"));
    s.xposts = 3;
    s.min_lines = 0;
    expect(QStringLiteral("Set Min/Max Lines in Preferences!"));
    s.min_lines = 1;
    s.max_lines = 0;
    expect(QStringLiteral("Set Min/Max Lines in Preferences!"));
    s.max_lines = 100;
    s.dlpath.clear();
    expect(QStringLiteral("Set Download path in preferences!"));
    s.dlpath = rig.dl + QStringLiteral("/missing");
    expect(QStringLiteral("Download Path does not exist!"));
    // A hand-edited path longer than the 49 characters kept: refused, even
    // though the cut-off folder exists.
    QVERIFY(s.file().write_string(Settings::section, QStringLiteral("dlpath"),
                                  rig.dl + QLatin1Char('/') + QString(60, QLatin1Char('d'))));
    s.load();
    s.news_server = QStringLiteral("127.0.0.1:1");
    s.xposts = 3;
    s.min_lines = 1;
    s.max_lines = 100;
    QVERIFY(s.dlpath_too_long());
    QVERIFY(QDir().mkpath(s.dlpath));
    expect(QStringLiteral("Download path is longer than 49 characters!"));
    s.dlpath = rig.dl;
    QVERIFY(!s.dlpath_too_long());
    expect(QStringLiteral("No subscribed groups for this server!"));
    auto subscribe = [&](const QString &group, const QString &server) {
        return rig.app->db().exec(QStringLiteral("insert into groups (name, server, last_msg) values (?, ?, 0)"),
                                  {group, server});
    };
    QVERIFY(subscribe(QStringLiteral("alt.a"), QStringLiteral("127.0.0.1:1")));
    QVERIFY(subscribe(QStringLiteral("alt.b"), QStringLiteral("127.0.0.1:1")));
    expect(QStringLiteral("No file masks defined!"));
    // The groups were listed before the masks were found missing.
    QCOMPARE(rig.ui.groups, (QStringList{QStringLiteral("alt.a"), QStringLiteral("alt.b")}));

    // With masks, an unreachable server ends the run without totals.
    QVERIFY(rig.app->db().exec(QStringLiteral("insert into masks (mask) values ('jpg')")));
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.pointer(QStringLiteral("alt.a"), QStringLiteral("127.0.0.1:1")), qint64(0));

    // The placeholder of a new settings file is no server either: a message
    // (exit code 1 for the command line), not a lost connection.
    const QString placeholder = QStringLiteral("<Put your server here>");
    s.news_server = placeholder;
    QVERIFY(subscribe(QStringLiteral("alt.a"), placeholder));
    expect(QStringLiteral("News Server is not set!"));

    // A server setting that cannot be used (a mistyped port) is told by a
    // message too; no connection was made, so none was lost.
    const QString unusable = QStringLiteral("127.0.0.1:11g");
    s.news_server = unusable;
    QVERIFY(subscribe(QStringLiteral("alt.a"), unusable));
    QCOMPARE(rig.run(), Outcome::Message);
    QCOMPARE(rig.ui.messages.size(), 1);
    QVERIFY2(rig.ui.messages.at(0).startsWith(QStringLiteral("Invalid news server")),
             qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
}

QTEST_MAIN(TestRun)
#include "test_run.moc"
