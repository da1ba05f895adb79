#pragma once
// Decoders for the cleaned work file. The picture is written to a temporary
// name in the target folder and renamed into place only when complete, and
// never over an existing file.
#include <QByteArray>
#include <QString>

namespace brivane {

enum class DecodeStatus {
    Ok,
    NoData,        // no encoded block found
    BadCharacter,  // a character outside the encoding's alphabet
    BadLength,     // a uuencode length byte that does not match its line
    Truncated,     // data ends before the block is complete
    ReadError,
    WriteError,    // including a full disk
    TargetExists,
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::NoData;
    QString message;  // a clear description for a status line
    bool ok() const { return status == DecodeStatus::Ok; }
};

DecodeResult decode_uuencode(const QString &source, const QString &target);
DecodeResult decode_base64(const QString &source, const QString &target);

// The decoding alone, in memory (no file is touched).
DecodeResult uudecode_bytes(const QByteArray &text, QByteArray *decoded);
DecodeResult base64_decode_bytes(const QByteArray &text, QByteArray *decoded);

// Writes `data` under a hidden temporary name beside `target`, then moves it
// into place without ever replacing a file (TargetExists when taken).
DecodeResult write_new_file(const QString &target, const QByteArray &data);
// Removes a temporary file write_new_file() left (a killed run), unless a
// copy of the program with another home is writing it now. True when gone.
bool remove_unused_temporary(const QString &path);
// Flushes the file or folder `path` to the disk: 0, or the errno of a
// failed flush (one it cannot open or the file system cannot flush: 0).
int sync_path(const QString &path);

// Writes all `size` bytes to `fd`, short writes and EINTR retried. Returns 0,
// or the errno of the failure (ENOSPC for a write that took nothing).
int write_all(int fd, const char *data, qint64 size);
// The system's text for an errno value.
QString errno_text(int err);

} // namespace brivane
