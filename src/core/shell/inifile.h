#pragma once
#include <QString>

namespace brivane {

// A reader and writer of "[section]" / "key=value" files with the rules of
// the classic profile functions: section and key names match regardless of
// case, the first match wins, a text read keeps at most size-1 characters,
// an integer read takes the leading number (anything else reads as 0).
// The file is read as UTF-8 when it is valid UTF-8, else as Latin-1, and
// written as UTF-8. Writing one key keeps every other line of the file, its
// line end included, character for character.
class IniFile {
public:
    explicit IniFile(QString path) : path_(std::move(path)) {}

    const QString &path() const { return path_; }

    // The value, or `def` when the file, section or key is missing; cut to
    // size - 1 characters (not bytes, and never inside a character).
    QString read_string(const QString &section, const QString &key, const QString &def,
                        int size = 50) const;
    int read_int(const QString &section, const QString &key, int def) const;

    // Sets one key (adding the section or key when missing); the file is
    // replaced atomically and created owner-only when new. A line break in
    // the section, key or value is refused.
    bool write_string(const QString &section, const QString &key, const QString &value,
                      QString *error = nullptr) const;

private:
    bool find(const QString &section, const QString &key, QString *value) const;
    QString path_;
};

} // namespace brivane
