#pragma once
// Real pictures and real encoders for the decoding tests.
#include <QByteArray>
#include <QString>

namespace brivane::test {

// A small picture in `format` ("jpg" or "png").
QByteArray make_picture(const QString &format);

// `data` uuencoded by sharutils' uuencode, named `name` in the begin line.
QByteArray uuencode(const QByteArray &data, const QString &name);
// `data` in base64 by coreutils (76-character lines).
QByteArray base64(const QByteArray &data);

// A news article around `body`, with CR LF line ends.
QByteArray article(const QByteArray &body);
// A MIME article with one text part and one base64 part holding `encoded`.
QByteArray mime_article(const QByteArray &encoded, const QByteArray &part_headers);

// Lines of `text` with CR LF line ends.
QByteArray crlf(const QByteArray &text);

} // namespace brivane::test
