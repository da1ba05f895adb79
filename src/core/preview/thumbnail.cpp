#include "preview/thumbnail.h"

#include <QFile>
#include <QImageReader>

#include <cstring>

namespace brivane {

QSize fitted_size(const QSize &picture, const QSize &box)
{
    const qint64 w = picture.width(), h = picture.height();
    if (w <= 0 || h <= 0 || box.isEmpty())
        return QSize();
    if (h > w)
        return QSize(int(qMax<qint64>(1, box.height() * w / h)), box.height());
    return QSize(box.width(), int(qMax<qint64>(1, box.width() * h / w)));
}

// Most pixels a picture may claim to get a thumbnail: beyond the largest
// camera photos. The reader's own limit counts only the scaled result, but
// a progressive JPEG holds all coefficients of the whole picture (up to six
// bytes a pixel) while it decodes, so a few hundred bytes claiming 60000 x
// 60000 pixels would take gigabytes.
constexpr qint64 max_thumbnail_pixels = qint64(1) << 26;

// Most scans a JPEG may have. Each scan of a progressive JPEG is a pass over
// the whole picture; real ones have about ten, while a few megabytes can hold
// a hundred thousand, which would take many minutes to decode.
constexpr int max_jpeg_scans = 500;

// A progressive JPEG larger than this must also be of a size its pixels
// could come from: even a plain white page takes over a byte per 1024
// pixels, while a few hundred bytes can claim the largest picture allowed
// (400 MB to decode).
constexpr qint64 max_thin_progressive_pixels = qint64(1) << 24;
constexpr qint64 min_progressive_bytes_per = 1024;  // pixels

namespace {

struct JpegFacts {
    int scans = 0;  // start-of-scan segments, counted up to the limit + 1
    bool progressive = false;
};

// What the JPEG `data` is made of; nothing when it is no JPEG.
JpegFacts jpeg_facts(const uchar *data, qint64 size, int limit)
{
    JpegFacts facts;
    if (size < 4 || data[0] != 0xff || data[1] != 0xd8)
        return facts;
    int &scans = facts.scans;
    qint64 i = 2;
    while (i + 1 < size && scans <= limit) {
        if (data[i] != 0xff) {  // inside entropy-coded data
            const void *ff = std::memchr(data + i, 0xff, size_t(size - i));
            if (!ff)
                break;
            i = static_cast<const uchar *>(ff) - data;
            continue;
        }
        const uchar marker = data[i + 1];
        if (marker == 0xff) {
            ++i;  // fill byte
            continue;
        }
        if (marker == 0x00 || (marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) {
            i += 2;  // a stuffed byte, a restart marker: no length follows
            continue;
        }
        if (marker == 0xd9)
            break;
        if (i + 3 >= size)
            break;
        const qint64 length = qint64(data[i + 2]) << 8 | data[i + 3];
        if (marker == 0xda)
            ++scans;
        if (marker == 0xc2 || marker == 0xc6 || marker == 0xca || marker == 0xce)
            facts.progressive = true;
        i += 2 + length;  // entropy-coded data follows a scan's header
    }
    return facts;
}

} // namespace

PictureKind picture_kind(QByteArrayView head)
{
    if (head.startsWith("\xff\xd8\xff"))
        return PictureKind::Jpeg;
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a"))
        return PictureKind::Gif;
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return PictureKind::Png;
    return PictureKind::Other;
}

namespace {

// The reader for what the file's first bytes say it is, when that is one of
// the kinds a run saves; no other decoder is ever handed a poster's bytes.
QByteArray picture_format(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    switch (picture_kind(file.read(8))) {
    case PictureKind::Jpeg:
        return "jpeg";
    case PictureKind::Gif:
        return "gif";
    case PictureKind::Png:
        return "png";
    case PictureKind::Other:
        break;
    }
    return QByteArray();
}

} // namespace

QImage fitted_picture(const QString &path, const QSize &box)
{
    const QByteArray format = picture_format(path);
    if (format.isEmpty())
        return QImage();
    QImageReader reader(path, format);
    reader.setAutoDetectImageFormat(false);
    const QSize stated = reader.size();
    const qint64 pixels = qint64(stated.width()) * stated.height();
    if (pixels > max_thumbnail_pixels)
        return QImage();
    if (reader.format() == "jpeg") {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QImage();
        const uchar *data = file.size() > 0 ? file.map(0, file.size()) : nullptr;
        if (data) {
            const JpegFacts facts = jpeg_facts(data, file.size(), max_jpeg_scans);
            if (facts.scans > max_jpeg_scans)
                return QImage();
            if (facts.progressive && pixels > max_thin_progressive_pixels
                && file.size() * min_progressive_bytes_per < pixels)
                return QImage();
        }
    }
    const QSize fitted = fitted_size(stated, box);
    if (fitted.isEmpty())
        return QImage();
    reader.setScaledSize(fitted);
    return reader.read();
}

} // namespace brivane
