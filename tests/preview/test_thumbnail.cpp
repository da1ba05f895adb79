// Thumbnails from real picture files: the fitted size, the picture's own
// colours where they belong, large photos, and files that are no picture.
#include "preview/thumbnail.h"

#include <QBuffer>
#include <QColor>
#include <QImageWriter>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

using namespace brivane;

namespace {

// A picture red in its left half and blue in its right, saved as `format`.
QString write_picture(const QTemporaryDir &dir, const QString &name, int w, int h, const char *format)
{
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    p.fillRect(0, 0, w / 2, h, Qt::red);
    p.fillRect(w / 2, 0, w - w / 2, h, Qt::blue);
    p.end();
    const QString path = dir.filePath(name);
    return img.save(path, format, 90) ? path : QString();
}

bool near(QColor a, QColor b)
{
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40;
}

// A few hundred bytes that claim a progressive JPEG of w x h pixels: the
// frame header of a real small one, its sizes changed.
QByteArray progressive_claiming(int w, int h)
{
    QImage img(64, 64, QImage::Format_RGB32);
    img.fill(Qt::red);
    QByteArray jpg;
    QBuffer buf(&jpg);
    buf.open(QIODevice::WriteOnly);
    QImageWriter writer(&buf, "jpeg");
    writer.setProgressiveScanWrite(true);
    if (!writer.write(img))
        return QByteArray();
    for (qsizetype i = 2; i + 9 < jpg.size();) {
        if (quint8(jpg[i]) != 0xff)
            return QByteArray();
        if (quint8(jpg[i + 1]) == 0xc2) {
            jpg[i + 5] = char(h >> 8);
            jpg[i + 6] = char(h);
            jpg[i + 7] = char(w >> 8);
            jpg[i + 8] = char(w);
            return jpg;
        }
        i += 2 + (quint8(jpg[i + 2]) << 8 | quint8(jpg[i + 3]));
    }
    return QByteArray();
}

// `jpg` with its last scan (its header and data, up to the end marker)
// repeated to make `scans` more.
QByteArray with_more_scans(QByteArray jpg, int scans)
{
    const qsizetype last = jpg.lastIndexOf("\xff\xda");
    const qsizetype end = jpg.lastIndexOf("\xff\xd9");
    if (last < 0 || end < last)
        return QByteArray();
    jpg.insert(end, jpg.mid(last, end - last).repeated(scans));
    return jpg;
}

qint64 peak_memory_mb()
{
    struct rusage ru;
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024;
}

} // namespace

class TestThumbnail : public QObject {
    Q_OBJECT
private slots:
    // A tiny file claiming a huge picture: a progressive JPEG keeps every
    // coefficient of the whole picture while it decodes, however small the
    // result (12000 x 12000 pixels: over 400 MB; 60000 x 60000: gigabytes).
    // First, while the peak memory measured is still low (the large photo
    // below raises it).
    void a_decompression_bomb_is_refused()
    {
        QTemporaryDir dir;
        const qint64 before = peak_memory_mb();
        // 8192 x 8192 is within the most pixels a picture may have, but not
        // for a file of this size.
        for (const QSize claimed : {QSize(8192, 8192), QSize(12000, 12000), QSize(60000, 60000), QSize(65000, 2000)}) {
            const QByteArray bomb = progressive_claiming(claimed.width(), claimed.height());
            QVERIFY(!bomb.isEmpty());
            QVERIFY(bomb.size() < 2000);
            QFile f(dir.filePath(QStringLiteral("bomb.jpg")));
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(bomb);
            f.close();
            QVERIFY(fitted_picture(f.fileName(), {198, 198}).isNull());
        }
        QVERIFY2(peak_memory_mb() - before < 100, qPrintable(QString::number(peak_memory_mb() - before)));

        // A picture within the limit whose scans never end: each is a pass
        // over all of it (these 5,000 took seconds to decode; a few
        // megabytes of them, at the largest size allowed, take minutes).
        const QByteArray endless = with_more_scans(progressive_claiming(4096, 4096), 5000);
        QVERIFY(!endless.isEmpty());
        QFile f(dir.filePath(QStringLiteral("scans.jpg")));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(endless);
        f.close();
        QVERIFY(fitted_picture(f.fileName(), {198, 198}).isNull());
        // The same picture with its few scans has its thumbnail.
        QFile few(dir.filePath(QStringLiteral("few.jpg")));
        QVERIFY(few.open(QIODevice::WriteOnly | QIODevice::Truncate));
        few.write(progressive_claiming(512, 512));
        few.close();
        QCOMPARE(fitted_picture(few.fileName(), {198, 198}).size(), QSize(198, 198));
        // A large photo still has its thumbnail (pictures_of_each_kind: 6000 x 4000).
    }

    void fitted_size_keeps_proportions()
    {
        const QSize box(198, 198);
        QCOMPARE(fitted_size({600, 300}, box), QSize(198, 99));
        QCOMPARE(fitted_size({300, 600}, box), QSize(99, 198));
        QCOMPARE(fitted_size({500, 500}, box), QSize(198, 198));
        QCOMPARE(fitted_size({50, 40}, box), QSize(198, 158));  // small pictures grow to the box
        QCOMPARE(fitted_size({100000, 10}, box), QSize(198, 1)); // never thinner than a pixel
        QVERIFY(fitted_size({0, 10}, box).isEmpty());
        QVERIFY(fitted_size({10, 10}, QSize()).isEmpty());
    }

    void pictures_of_each_kind_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("jpeg landscape") << "jpg" << 640 << 480;
        QTest::newRow("jpeg portrait") << "jpg" << 300 << 900;
        QTest::newRow("large jpeg photo") << "jpg" << 6000 << 4000;
        QTest::newRow("small png") << "png" << 40 << 30;
    }

    void pictures_of_each_kind()
    {
        QFETCH(QString, format);
        QFETCH(int, width);
        QFETCH(int, height);
        QTemporaryDir dir;
        const QString path = write_picture(dir, QStringLiteral("p.") + format, width, height, qPrintable(format));
        QVERIFY(!path.isEmpty());
        const QSize box(198, 198);
        const QImage t = fitted_picture(path, box);
        QVERIFY(!t.isNull());
        QCOMPARE(t.size(), fitted_size({width, height}, box));
        // The picture itself, not a stretched corner of it.
        QVERIFY(near(t.pixelColor(t.width() / 4, t.height() / 2), Qt::red));
        QVERIFY(near(t.pixelColor(t.width() * 3 / 4, t.height() / 2), Qt::blue));
    }

    void files_that_are_no_picture()
    {
        QTemporaryDir dir;
        QVERIFY(fitted_picture(dir.filePath(QStringLiteral("missing.jpg")), {198, 198}).isNull());
        QFile text(dir.filePath(QStringLiteral("text.jpg")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("begin 644 text.jpg\nnot a picture at all\n");
        text.close();
        QVERIFY(fitted_picture(text.fileName(), {198, 198}).isNull());
        // A JPEG cut off after its header: no thumbnail, and no crash.
        const QString path = write_picture(dir, QStringLiteral("cut.jpg"), 640, 480, "jpg");
        QFile cut(path);
        QVERIFY(cut.open(QIODevice::ReadWrite));
        QVERIFY(cut.resize(200));
        cut.close();
        const QImage t = fitted_picture(path, {198, 198});
        QVERIFY(t.isNull() || t.size() == QSize(198, 148));
        // An empty file.
        QFile empty(dir.filePath(QStringLiteral("empty.jpg")));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QVERIFY(fitted_picture(empty.fileName(), {198, 198}).isNull());
        // Another kind of picture under a picture's name ("jpe" is a mask a
        // user may have): no other decoder is handed a poster's bytes. A JPEG
        // under that name is drawn.
        for (const char *name : {"bmp.jpe", "bmp.jpg", "ppm.gif"}) {
            const QByteArray kind = QByteArray(name).left(3);
            const QString other = write_picture(dir, QString::fromLatin1(name), 64, 48, kind.constData());
            QVERIFY(!other.isEmpty());
            QVERIFY2(fitted_picture(other, {198, 198}).isNull(), name);
        }
        const QString jpe = write_picture(dir, QStringLiteral("photo.jpe"), 64, 48, "jpg");
        QCOMPARE(fitted_picture(jpe, {198, 198}).size(), QSize(198, 148));
    }
};

QTEST_MAIN(TestThumbnail)
#include "test_thumbnail.moc"
