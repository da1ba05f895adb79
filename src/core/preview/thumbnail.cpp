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

QImage fitted_picture(const QString &path, const QSize &box)
{
    QImageReader reader(path);
    const QSize fitted = fitted_size(reader.size(), box);
    if (fitted.isEmpty())
        return QImage();
    reader.setScaledSize(fitted);
    return reader.read();
}

} // namespace brivane
