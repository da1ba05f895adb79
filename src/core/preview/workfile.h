#pragma once
// Repair of one raw article into a decodable work file.
#include <QByteArray>
#include <QString>

namespace brivane {

class Frontend;

class WorkfileRepair {
public:
    // `work2_path`: the scratch file (program home + "work2").
    explicit WorkfileRepair(QString work2_path) : work2_(std::move(work2_path)) {}

    // Cleans the work file in place when its format is recognised; returns
    // the completeness verdict. Sets begin_found, jpeg64_found, found_filename.
    // On a file error returns false and sets io_error (empty otherwise).
    bool fix_workfile(const QString &work_path, Frontend &ui);

    // The same repair in memory, with the same status line and members (not
    // io_error): `text` is the cleaned copy when the format is recognised,
    // else the article as it came.
    bool repair(const QByteArray &raw, QByteArray *text, Frontend &ui);

    // The repair alone: `raw` in, the cleaned text out; tells whether the
    // format was recognised, adds no status line.
    bool repair_text(const QByteArray &raw, QByteArray *cleaned, bool *recognised);

    bool begin_found = false;
    bool jpeg64_found = false;
    QString found_filename;  // carries over when a work file names no file
    QString io_error;
    // The last call gave found_filename, a ".jpeg" name, as ".jpg": a "jpe"
    // mask wants it.
    bool named_jpeg = false;
    // The copy starts with a line beginning "/9j/" right after a blank line:
    // a body that is a JPEG from its first line, not "/9j/" met by chance
    // inside another file's data.
    bool jpeg_starts_body = false;

private:
    QString work2_;
};

} // namespace brivane
