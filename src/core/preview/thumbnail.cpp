#include "preview/thumbnail.h"

#include <QImageReader>

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

QImage fitted_picture(const QString &path, const QSize &box)
{
    QImageReader reader(path);
    const QSize stated = reader.size();
    if (qint64(stated.width()) * stated.height() > max_thumbnail_pixels)
        return QImage();
    const QSize fitted = fitted_size(stated, box);
    if (fitted.isEmpty())
        return QImage();
    reader.setScaledSize(fitted);
    return reader.read();
}

} // namespace brivane
