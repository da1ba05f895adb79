#pragma once
// The thumbnail of a downloaded picture, made without decoding the whole
// picture where its format allows (JPEG decodes straight at a fraction of
// its size): a large photo costs a fraction of the time and memory.
#include <QByteArrayView>
#include <QImage>
#include <QSize>
#include <QString>

namespace brivane {

// The kinds of picture a run saves, as a file's first bytes tell them.
enum class PictureKind { Jpeg, Gif, Png, Other };
PictureKind picture_kind(QByteArrayView head);

// The size a w x h picture takes in `box`, proportions kept: a portrait
// picture fills the box's height, any other its width.
QSize fitted_size(const QSize &picture, const QSize &box);

// The picture at `path` at its fitted size in `box`; a null image when the
// file is not a picture that can be read, or claims more pixels than a
// thumbnail is made from.
QImage fitted_picture(const QString &path, const QSize &box);

} // namespace brivane
