// The program started with "/auto" runs the download once its window is
// shown, unattended: the real binary against INN2, nobody pressing a button.
#include "integration/test_run_support.h"

#include "support/inn2.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

class TestAutoRun : public QObject {
    Q_OBJECT
private slots:
    void auto_switch_starts_the_run();
};

void TestAutoRun::auto_switch_starts_the_run()
{
    BRIVANE_REQUIRE_INN2(inn);
    QVERIFY(QFileInfo::exists(QStringLiteral(BRIVANE_GUI_PATH)));
    const QString group = inn.new_group();
    QVERIFY2(!group.isEmpty(), qPrintable(inn.error()));
    const QList<QByteArray> pics{make_jpeg(4001), make_jpeg(4002), make_jpeg(4003)};
    QList<NewsArticle> arts = picture_articles(group, pics, QStringLiteral("a"));
    NewsArticle text;
    text.groups = {group};
    text.subject = QStringLiteral("Just talk");
    text.body = "Some words.\r\n";
    arts << text;
    QCOMPARE(inn.post_all(arts).size(), arts.size());

    TempHome home;
    const QString dl = picture_home(home, inn.setting(), group);
    QVERIFY(!dl.isEmpty());
    {
        // The preview too: the window loads each picture as it comes.
        Settings s(home.file(QStringLiteral("Brivane.ini")));
        s.preview = true;
        s.save(QStringLiteral("preview"));
    }

    QProcess gui;
    gui.setProcessChannelMode(QProcess::MergedChannels);
    QVERIFY(start_program(gui, home.path(), {QStringLiteral("/auto")}, QStringLiteral(BRIVANE_GUI_PATH)));

    // The window stays open after the run; the last header's pointer says it ended.
    const QDeadlineTimer deadline(60000);
    qint64 pointer = 0;
    while (!deadline.hasExpired() && gui.state() == QProcess::Running) {
        pointer = query_number(home, QStringLiteral("select last_msg from groups"));
        if (pointer == arts.size())
            break;
        QTest::qWait(100);
    }
    const bool still_open = gui.state() == QProcess::Running;
    gui.kill();
    gui.waitForFinished(10000);
    QVERIFY2(still_open, gui.readAll().constData());
    QCOMPARE(pointer, qint64(arts.size()));

    QStringList names;
    for (int i = 1; i <= pics.size(); ++i) {
        names << QStringLiteral("a%1.jpg").arg(i);
        QCOMPARE(read_file(dl + QLatin1Char('/') + names.last()), pics.at(i - 1));
    }
    QCOMPARE(QDir(dl).entryList(QDir::Files | QDir::Hidden), names);
    QCOMPARE(dllog_lines(home).size(), pics.size());
}

QTEST_MAIN(TestAutoRun)
#include "test_autorun.moc"
