#pragma once
// File names and folders of the run. Names from articles are untrusted:
// they are reduced to a safe base name before they become a path.
#include <QString>

namespace brivane {

// A safe base name for a picture: no folder parts ("../", "/", "\", a drive),
// no control characters, no leading dot, never empty; visible characters
// (case, apostrophes) kept.
QString safe_file_name(const QString &name);
// The same for a group name used as a sub-folder.
QString safe_dir_name(const QString &group);
// `name` cut to `max_bytes` of UTF-8, a short extension kept.
QString fit_length(const QString &name, qsizetype max_bytes);
// The longest name (UTF-8 bytes) a picture may have in `folder`, room for
// a "_100" left.
qsizetype longest_name_in(const QString &folder);

// `path`, or the first free "_N" variant (N = 1..100) before the last "."
// of the name; empty when all are taken. A name without "." gets "_N" at its end.
QString unique_name(const QString &path);
bool dir_exists(const QString &path);
bool make_dirs(const QString &path);
// The part after the last separator.
QString path_file_name(const QString &path);

} // namespace brivane
