#include "preview/decoder.h"

#include "preview/encoded.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define BRIVANE_UU_SSSE3 1
#endif

namespace brivane {

namespace {

using Line = std::string_view;
using encoded::next_line;
using encoded::trim_right;

#ifdef BRIVANE_UU_SSSE3
// The widest vector steps the processor has. BRIVANE_SIMD=ssse3 or none asks
// for less, so that the tests run each way.
enum class Simd { None, Ssse3, Avx2 };
Simd simd_level()
{
    __builtin_cpu_init();
    const QByteArray asked = qgetenv("BRIVANE_SIMD");
    if (asked == "none")
        return Simd::None;
    if (__builtin_cpu_supports("avx2") && asked != "ssse3")
        return Simd::Avx2;
    return __builtin_cpu_supports("ssse3") ? Simd::Ssse3 : Simd::None;
}

Simd simd()
{
    static const Simd level = simd_level();
    return level;
}

bool have_ssse3()
{
    return simd() >= Simd::Ssse3;
}

// Sixteen 6-bit values (four groups) as the twelve bytes they stand for, in
// the first twelve lanes.
__attribute__((target("ssse3"))) inline __m128i sextets_to_bytes(__m128i v)
{
    const __m128i pairs = _mm_set1_epi32(0x01400140);  // first * 64 + second
    const __m128i quads = _mm_set1_epi32(0x00011000);  // first pair * 4096 + second
    const __m128i pack = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    return _mm_shuffle_epi8(_mm_madd_epi16(_mm_maddubs_epi16(v, pairs), quads), pack);
}

// Sixteen uuencoded characters at `s` to twelve bytes at `o` (sixteen stored).
__attribute__((target("ssse3"))) inline void uu_step_ssse3(const void *s, unsigned char *o)
{
    const __m128i x = _mm_loadu_si128(static_cast<const __m128i *>(s));
    const __m128i v = _mm_and_si128(_mm_sub_epi8(x, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x3f));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(o), sextets_to_bytes(v));
}

// Four groups (sixteen checked characters) to twelve bytes at a time. The
// store writes sixteen; the four past them are overwritten by what follows
// or cut off at the end (the buffer has room). The line's last groups go the
// same way while sixteen characters can be read before `limit` (the end of
// the text): what is decoded from past the line's end lies past its bytes,
// and `o` moves by those alone (a line of 45 bytes takes four steps and no
// byte-by-byte tail).
__attribute__((target("ssse3"))) void uu_groups_ssse3(const unsigned char *&s, unsigned char *&o,
                                                      int &left, const unsigned char *limit)
{
    for (; left > 0 && limit - s >= 16; s += 16, o += 12, left -= 12)
        uu_step_ssse3(s, o);
    if (left < 0) {
        o += left;  // the last step held fewer than twelve of the line's bytes
        left = 0;
    }
}

// Full-length lines (see encoded.h) from `p` to `run`, eight groups at a
// time: a line's sixty characters are two steps of thirty-two, the second
// reading the line's CR LF and two characters past them; so the last line
// read so must end two before `limit`. Each step stores 28 bytes for its 24
// and each line 52 for its 45, overwritten by the next or cut off at the end
// (the buffer has room). Where `p` is then: the rest goes the other way.
__attribute__((target("avx2"))) const char *uu_full_lines_avx2(const char *p, const char *run,
                                                                unsigned char *&o, const char *limit)
{
    unsigned char *w = o;  // kept in a register, not written back at each step
    const __m256i space = _mm256_set1_epi8(0x20), six_bits = _mm256_set1_epi8(0x3f);
    const __m256i pairs = _mm256_set1_epi32(0x01400140), quads = _mm256_set1_epi32(0x00011000);
    const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                          2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    for (; p < run && limit - p >= 65; p += encoded::full_uu_line, w += 45) {
        for (int half = 0; half < 2; ++half) {
            __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1 + 32 * half));
            x = _mm256_and_si256(_mm256_sub_epi8(x, space), six_bits);
            x = _mm256_shuffle_epi8(_mm256_madd_epi16(_mm256_maddubs_epi16(x, pairs), quads), pack);
            unsigned char *to = w + 24 * half;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(to), _mm256_castsi256_si128(x));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(to + 12), _mm256_extracti128_si256(x, 1));
        }
    }
    o = w;
    return p;
}

// The same with SSSE3: four steps of sixteen characters a line, the last
// reading as far as the one above.
__attribute__((target("ssse3"))) const char *uu_full_lines_ssse3(const char *p, const char *run,
                                                                  unsigned char *&o, const char *limit)
{
    unsigned char *w = o;  // kept in a register, not written back at each step
    for (; p < run && limit - p >= 65; p += encoded::full_uu_line, w += 45) {
        for (int step = 0; step < 4; ++step)
            uu_step_ssse3(p + 1 + 16 * step, w + 12 * step);
    }
    o = w;
    return p;
}

// Where lo <= x <= hi (bytes above 127 are below 0 here).
__attribute__((target("ssse3"))) inline __m128i bytes_in(__m128i x, char lo, char hi)
{
    return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(char(lo - 1))),
                         _mm_cmplt_epi8(x, _mm_set1_epi8(char(hi + 1))));
}

// base64 sixteen characters to twelve bytes at a time from `s` (where a
// group begins) while all sixteen are of the alphabet ("=" is not); where
// `s` is then. Each step stores sixteen bytes for its twelve, as above. The
// last whole groups before `e` go as the sixteen characters ending there,
// the groups already decoded again.
__attribute__((target("ssse3"))) const char *base64_groups_ssse3(const char *s, const char *e,
                                                                  unsigned char *&o)
{
    unsigned char *w = o;  // kept in a register, not written back at each step
    const char *const from = s;
    for (;; s += 16, w += 12) {
        if (e - s < 16) {
            const qsizetype back = 16 - (e - s);
            if (s == e || back % 4 != 0 || s - from < back)
                break;
            s -= back;
            w -= back / 4 * 3;
        }
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
        const __m128i upper = bytes_in(x, 'A', 'Z'), lower = bytes_in(x, 'a', 'z'), digit = bytes_in(x, '0', '9');
        const __m128i plus = _mm_cmpeq_epi8(x, _mm_set1_epi8('+')), slash = _mm_cmpeq_epi8(x, _mm_set1_epi8('/'));
        const __m128i known = _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(plus, slash)));
        if (_mm_movemask_epi8(known) != 0xffff)
            break;
        // What each kind of character adds to become its value.
        __m128i add = _mm_and_si128(upper, _mm_set1_epi8(-'A'));
        add = _mm_or_si128(add, _mm_and_si128(lower, _mm_set1_epi8(26 - 'a')));
        add = _mm_or_si128(add, _mm_and_si128(digit, _mm_set1_epi8(52 - '0')));
        add = _mm_or_si128(add, _mm_and_si128(plus, _mm_set1_epi8(62 - '+')));
        add = _mm_or_si128(add, _mm_and_si128(slash, _mm_set1_epi8(63 - '/')));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(w), sextets_to_bytes(_mm_add_epi8(x, add)));
    }
    o = w;
    return s;
}
#endif

// The n bytes the characters at `s` encode, to `o`; where `o` is then.
// `limit` is the end of the text (see above).
unsigned char *decode_uu_chars(const unsigned char *s, int n, unsigned char *o, const unsigned char *limit)
{
    int left = n;
#ifdef BRIVANE_UU_SSSE3
    if (have_ssse3())
        uu_groups_ssse3(s, o, left, limit);
#endif
    while (left >= 3) {
        const unsigned a = (s[0] - 0x20) & 0x3f, b = (s[1] - 0x20) & 0x3f;
        const unsigned c = (s[2] - 0x20) & 0x3f, d = (s[3] - 0x20) & 0x3f;
        o[0] = static_cast<unsigned char>(a << 2 | b >> 4);
        o[1] = static_cast<unsigned char>(b << 4 | c >> 2);
        o[2] = static_cast<unsigned char>(c << 6 | d);
        s += 4;
        o += 3;
        left -= 3;
    }
    if (left > 0) {
        const unsigned a = (s[0] - 0x20) & 0x3f, b = (s[1] - 0x20) & 0x3f;
        *o++ = static_cast<unsigned char>(a << 2 | b >> 4);
        if (left == 2) {
            const unsigned c = (s[2] - 0x20) & 0x3f;
            *o++ = static_cast<unsigned char>(b << 4 | c >> 2);
        }
    }
    return o;
}

DecodeResult result(DecodeStatus status, const QString &message)
{
    DecodeResult r;
    r.status = status;
    r.message = message;
    return r;
}

char upper(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

bool starts_upper(Line line, std::string_view word)
{
    if (line.size() < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (upper(line[i]) != word[i])
            return false;
    }
    return true;
}

Line trim(Line line)
{
    line = trim_right(line);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    return line;
}

bool read_source(const QString &source, QByteArray *data, DecodeResult *error)
{
    QFile f(source);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = result(DecodeStatus::ReadError,
                        QStringLiteral("Cannot read %1: %2").arg(source, f.errorString()));
        return false;
    }
    *data = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        *error = result(DecodeStatus::ReadError,
                        QStringLiteral("Cannot read %1: %2").arg(source, f.errorString()));
        return false;
    }
    return true;
}

bool name_taken(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

// Moves `from` to `to` unless `to` exists. 0, or the errno (EEXIST when taken).
int rename_no_replace(const QByteArray &from, const QByteArray &to)
{
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
#endif
    // A file system without renameat2: a hard link never replaces either.
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return 0;
    }
    const int err = errno;
    if (err != EPERM && err != ENOSYS && err != ENOTSUP && err != EOPNOTSUPP)
        return err;
    // Neither (FUSE mounts such as gvfs shares or rclone): look, then move.
    // Only another program making the very name in between could lose its file.
    if (name_taken(to))
        return EEXIST;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

} // namespace

QString errno_text(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

int write_all(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(qMin<qint64>(size, 1 << 24)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        size -= n;
    }
    return 0;
}

// 0, or the errno of a failed flush of `fd` (EINVAL: a file system that
// cannot flush, nothing to be done).
static int sync_fd(int fd)
{
    return ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
}

// A picture is whole under its name or not there at all.
DecodeResult write_new_file(const QString &target, const QByteArray &data)
{
    const QByteArray to = QFile::encodeName(target);
    if (name_taken(to))
        return result(DecodeStatus::TargetExists, QStringLiteral("%1 exists already").arg(target));
    const QString folder = QFileInfo(target).absolutePath();
    // The folder is looked at only when the file cannot be made in it.
    auto no_folder = [&folder] {
        return result(DecodeStatus::WriteError, QStringLiteral("Folder %1 does not exist").arg(folder));
    };

    QByteArray tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        QByteArray tag(8, '0');
        for (char &c : tag)
            c = alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet - 1))];
        tmp = QFile::encodeName(folder) + "/.brivane-" + tag + ".part";
        fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        // Locked while it is written and until it has its name, so that
        // another copy sweeping this folder for left-overs passes it by. A
        // sweep that took it between its making and the lock: another name.
        struct stat st;
        if (fd >= 0
            && ((::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
                || (::fstat(fd, &st) == 0 && st.st_nlink == 0))) {
            ::close(fd);
            fd = -1;
            continue;
        }
        if (fd < 0 && errno != EEXIST) {
            const int err = errno;
            if (!QFileInfo(folder).isDir())
                return no_folder();
            return result(DecodeStatus::WriteError,
                          QStringLiteral("Cannot write into %1: %2").arg(folder, errno_text(err)));
        }
    }
    if (fd < 0)
        return result(DecodeStatus::WriteError, QStringLiteral("No temporary name free in %1").arg(folder));
    // The second descriptor keeps the lock after the first is closed (and
    // its errors read).
    const int hold = ::dup(fd);
    const auto release = qScopeGuard([hold] {
        if (hold >= 0)
            ::close(hold);
    });

    if (const int err = write_all(fd, data.constData(), data.size()); err != 0) {
        ::close(fd);
        ::unlink(tmp.constData());
        return result(DecodeStatus::WriteError,
                      QStringLiteral("Cannot write %1: %2").arg(target, errno_text(err)));
    }
    // On the disk before it has its name, and the name before the caller
    // moves the group's pointer past it: else a power loss could leave an
    // empty file under the name (or none at all) with the pointer beyond it.
    // A write the disk refuses only now (EIO, a full NFS share) shows here.
    int failed = sync_fd(fd);
    if (::close(fd) != 0 && failed == 0)
        failed = errno;
    if (failed != 0) {
        ::unlink(tmp.constData());
        return result(DecodeStatus::WriteError,
                      QStringLiteral("Cannot write %1: %2").arg(target, errno_text(failed)));
    }
    const int err = rename_no_replace(tmp, to);
    if (err != 0) {
        ::unlink(tmp.constData());
        if (err == EEXIST)
            return result(DecodeStatus::TargetExists, QStringLiteral("%1 exists already").arg(target));
        return result(DecodeStatus::WriteError,
                      QStringLiteral("Cannot write %1: %2").arg(target, errno_text(err)));
    }
    if (const int derr = sync_path(folder); derr != 0) {
        // The picture is whole under its name; only its lasting is in doubt.
        // Said, so that the pointer stays before it.
        return result(DecodeStatus::WriteError,
                      QStringLiteral("Cannot write %1: %2").arg(target, errno_text(derr)));
    }
    return result(DecodeStatus::Ok, QString());
}

int sync_path(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    // A folder one may write but not read cannot be opened to be synced;
    // nor can some file systems sync at all (EINVAL): nothing to be done.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return 0;
    const int err = sync_fd(fd);
    ::close(fd);
    return err;
}

bool remove_unused_temporary(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    // Removed only under its lock: one this copy cannot open (another
    // user's) or lock (no locks on that file system) may be being written.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    const bool removed = ::unlink(name.constData()) == 0;
    ::close(fd);
    return removed;
}

namespace {

// Lookup table: the value of a base64 character, -1 otherwise.
constexpr std::array<signed char, 256> make_base64_table()
{
    std::array<signed char, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[size_t(i)] = static_cast<signed char>(encoded::base64_value(char(i)));
    return t;
}
constexpr std::array<signed char, 256> b64 = make_base64_table();

inline int b64v(char c)
{
    return b64[static_cast<unsigned char>(c)];
}

// A line made only of base64 characters and "=".
bool all_base64(Line line)
{
    if (line.empty())
        return false;
    for (char c : line) {
        if (b64v(c) < 0 && c != '=')
            return false;
    }
    return true;
}

// The first line of the base64 body, or nullptr: a line that starts a JPEG
// ("/9j/"), else the first line after the headers of a base64 part, else the
// first line that is base64 alone.
const char *find_base64_start(const char *begin, const char *end)
{
    for (const char *p = begin; p < end;) {
        const char *start = p;
        const Line line = trim_right(next_line(p, end));
        if (line.substr(0, 4) == "/9j/" && all_base64(line))
            return start;
    }
    bool in_part_headers = false;
    for (const char *p = begin; p < end;) {
        const char *start = p;
        const Line line = trim_right(next_line(p, end));
        if (!in_part_headers) {
            if (starts_upper(line, "CONTENT-TRANSFER-ENCODING:")) {
                const Line value = trim(line.substr(26));
                if (value.size() == 6 && starts_upper(value, "BASE64"))
                    in_part_headers = true;
            }
            continue;
        }
        if (!line.empty())
            continue;  // more part headers
        while (p < end) {
            start = p;
            if (!trim(next_line(p, end)).empty())
                return start;
        }
        return nullptr;
    }
    for (const char *p = begin; p < end;) {
        const char *start = p;
        if (all_base64(trim_right(next_line(p, end))))
            return start;
    }
    return nullptr;
}

// A JPEG whose data stops before its end-of-image marker. base64 has no end
// line, so a body cut off at a line end decodes without a fault: only the
// picture's own structure tells. Segments before the scan are skipped by
// their lengths (an EXIF thumbnail carries a marker of its own); in the
// scan data a 0xFF byte is always followed by 0x00 or a marker. Anything
// that is not JPEG structure is left for the picture's reader to judge.
bool jpeg_cut_off(const QByteArray &data)
{
    const auto *d = reinterpret_cast<const unsigned char *>(data.constData());
    const size_t n = size_t(data.size());
    if (n < 3 || d[0] != 0xff || d[1] != 0xd8 || d[2] != 0xff)
        return false;
    size_t i = 2;
    for (;;) {
        if (i >= n)
            return true;
        if (d[i] != 0xff)
            return false;
        while (i < n && d[i] == 0xff)
            ++i;
        if (i >= n)
            return true;
        const unsigned marker = d[i++];
        if (marker == 0xd9)
            return false;
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8))
            continue;  // no length
        if (marker < 0xc0)
            return false;
        if (i + 2 > n)
            return true;
        const size_t length = size_t(d[i]) << 8 | d[i + 1];
        if (length < 2)
            return false;
        if (i + length > n)
            return true;
        i += length;
        if (marker == 0xda)
            break;
    }
    // The scans and whatever lies between them, up to the end marker. In
    // a scan 0xff is rare (it stands only before a 0 or a marker).
    for (const unsigned char *f = d + i; f + 1 < d + n; ++f) {
        f = static_cast<const unsigned char *>(std::memchr(f, 0xff, size_t(d + n - 1 - f)));
        if (!f)
            return true;
        if (f[1] == 0xd9)
            return false;
    }
    return true;
}

} // namespace

namespace {

// Reads `source`, decodes it in memory, writes the result to `target`.
DecodeResult decode_file(const QString &source, const QString &target,
                         DecodeResult (*decode)(const QByteArray &, QByteArray *))
{
    QByteArray raw, out;
    DecodeResult r;
    if (!read_source(source, &raw, &r))
        return r;
    r = decode(raw, &out);
    if (!r.ok())
        return r;
    raw.clear();
    return write_new_file(target, out);
}

} // namespace

DecodeResult decode_uuencode(const QString &source, const QString &target)
{
    return decode_file(source, target, uudecode_bytes);
}

DecodeResult decode_base64(const QString &source, const QString &target)
{
    return decode_file(source, target, base64_decode_bytes);
}

DecodeResult uudecode_bytes(const QByteArray &raw, QByteArray *decoded)
{
    decoded->clear();
    const char *p = raw.constData();
    const char *const end = p + raw.size();
    qint64 line_no = 0;
    bool begun = false;
    while (p < end && !begun) {
        ++line_no;
        begun = encoded::is_uu_begin_line(next_line(p, end));
    }
    if (!begun)
        return result(DecodeStatus::NoData, QStringLiteral("No uuencoded data (no begin line)"));

    QByteArray out(raw.size() / 4 * 3 + 64, Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    bool closed = false;  // the zero-length line has been seen
    bool end_found = false;
    while (p < end) {
        if (!closed) {
            // Lines of full length, found and checked together.
            const char *run = encoded::full_uu_lines_end(p, end);
#ifdef BRIVANE_UU_SSSE3
            if (const Simd level = simd(); level != Simd::None) {
                const char *from = p;
                p = level == Simd::Avx2 ? uu_full_lines_avx2(p, run, o, end)
                                        : uu_full_lines_ssse3(p, run, o, end);
                line_no += (p - from) / qint64(encoded::full_uu_line);
            }
#endif
            for (; p < run; p += encoded::full_uu_line) {
                ++line_no;
                o = decode_uu_chars(reinterpret_cast<const unsigned char *>(p) + 1, 45, o,
                                    reinterpret_cast<const unsigned char *>(end));
            }
            if (p == end)
                break;
        }
        ++line_no;
        const Line line = next_line(p, end);
        if (starts_upper(line, "END") && !encoded::is_uu_data_line(line)) {
            end_found = true;
            break;
        }
        if (closed) {
            if (encoded::is_uu_data_line(line) && encoded::uu_value(line[0]) > 0)
                return result(DecodeStatus::BadLength,
                              QStringLiteral("uuencoded data goes on after its last line (line %1)")
                                  .arg(line_no));
            continue;
        }
        // A zero-length line: "`", or a blank that was stripped in transit.
        if (line.empty()) {
            closed = true;
            continue;
        }
        if (!encoded::all_uu_chars(line))
            return result(DecodeStatus::BadCharacter,
                          QStringLiteral("Bad character in uuencoded line %1").arg(line_no));
        const int n = encoded::uu_value(line[0]);
        if (n == 0) {
            closed = true;
            continue;
        }
        const size_t chars = line.size() - 1;
        if (chars < encoded::uu_min_chars(n))
            return result(DecodeStatus::BadLength,
                          QStringLiteral("uuencoded line %1 is shorter than its length byte says")
                              .arg(line_no));
        if (chars > encoded::uu_max_chars(n)) {
            // Trailing blanks are padding; anything else is a wrong length.
            for (size_t i = 1 + encoded::uu_max_chars(n); i < line.size(); ++i) {
                if (line[i] != ' ' && line[i] != '`')
                    return result(DecodeStatus::BadLength,
                                  QStringLiteral("uuencoded line %1 is longer than its length byte says")
                                      .arg(line_no));
            }
        }
        o = decode_uu_chars(reinterpret_cast<const unsigned char *>(line.data()) + 1, n, o,
                            reinterpret_cast<const unsigned char *>(end));
    }
    if (!end_found)
        return result(DecodeStatus::Truncated,
                      QStringLiteral("The uuencoded data ends without an end line"));
    out.truncate(reinterpret_cast<char *>(o) - out.data());
    if (out.isEmpty())
        return result(DecodeStatus::NoData, QStringLiteral("The uuencoded block holds no data"));
    *decoded = std::move(out);
    return result(DecodeStatus::Ok, QString());
}

DecodeResult base64_decode_bytes(const QByteArray &raw, QByteArray *decoded)
{
    decoded->clear();
    const char *const end = raw.constData() + raw.size();
    const char *p = find_base64_start(raw.constData(), end);
    if (!p)
        return result(DecodeStatus::NoData, QStringLiteral("No base64 data found"));

    QByteArray out(raw.size() / 4 * 3 + 64, Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    unsigned quad[4] = {0, 0, 0, 0};
    int q = 0;         // characters of the current group of four
    int padding = 0;   // "=" seen; once set, only "=" may follow
    int pad_needed = 0;
    qint64 line_no = 0;
    // A text line right after a whole JPEG (a gateway's "Posted via ...")
    // ends the body: what came before it is the picture. Anywhere else the
    // line is a fault in the data.
    const auto whole_jpeg_before = [&](const unsigned char *line_out) {
        const auto *start = reinterpret_cast<const unsigned char *>(out.constData());
        const qsizetype n = line_out - start;
        if (n < 4 || start[0] != 0xff || start[1] != 0xd8 || start[2] != 0xff || start[n - 2] != 0xff
            || start[n - 1] != 0xd9)
            return false;
        return !jpeg_cut_off(QByteArray::fromRawData(out.constData(), n));
    };
    while (p < end) {
        ++line_no;
        const Line line = trim_right(next_line(p, end));
        // The body ends at a blank line, a boundary line or the end of file.
        if (line.empty() || line.substr(0, 2) == "--")
            break;
        unsigned char *const line_out = o;
        // Whole groups so far: none begun, or the last one closed by its padding.
        const bool at_group_start = padding == 0 ? q == 0 : padding == pad_needed;
        bool ended = false;
        const char *s = line.data();
        const char *const e = s + line.size();
#ifdef BRIVANE_UU_SSSE3
        if (q == 0 && padding == 0 && have_ssse3())
            s = base64_groups_ssse3(s, e, o);
#endif
        while (s < e) {
            if (q == 0 && padding == 0 && e - s >= 4) {
                const int a = b64v(s[0]), b = b64v(s[1]), c = b64v(s[2]), d = b64v(s[3]);
                if ((a | b | c | d) >= 0) {
                    const unsigned v = unsigned(a) << 18 | unsigned(b) << 12 | unsigned(c) << 6 | unsigned(d);
                    o[0] = static_cast<unsigned char>(v >> 16);
                    o[1] = static_cast<unsigned char>(v >> 8);
                    o[2] = static_cast<unsigned char>(v);
                    o += 3;
                    s += 4;
                    continue;
                }
            }
            const char ch = *s++;
            const int v = b64v(ch);
            if (v >= 0 && padding == 0) {
                quad[q++] = unsigned(v);
                if (q == 4) {
                    const unsigned w = quad[0] << 18 | quad[1] << 12 | quad[2] << 6 | quad[3];
                    o[0] = static_cast<unsigned char>(w >> 16);
                    o[1] = static_cast<unsigned char>(w >> 8);
                    o[2] = static_cast<unsigned char>(w);
                    o += 3;
                    q = 0;
                }
                continue;
            }
            if (ch == '=') {
                if (padding == 0) {
                    if (q < 2)
                        return result(DecodeStatus::BadCharacter,
                                      QStringLiteral("Misplaced padding in base64 line %1").arg(line_no));
                    // The bytes the last group carries.
                    const unsigned w = quad[0] << 18 | quad[1] << 12 | (q > 2 ? quad[2] << 6 : 0u);
                    *o++ = static_cast<unsigned char>(w >> 16);
                    if (q == 3)
                        *o++ = static_cast<unsigned char>(w >> 8);
                    pad_needed = 4 - q;
                }
                if (++padding > pad_needed)
                    return result(DecodeStatus::BadCharacter,
                                  QStringLiteral("Too much padding in base64 line %1").arg(line_no));
                continue;
            }
            if (at_group_start && whole_jpeg_before(line_out)) {
                o = line_out;  // the letters of the text decoded so far go
                q = padding = pad_needed = 0;
                ended = true;
                break;
            }
            if (v >= 0)
                return result(DecodeStatus::BadCharacter,
                              QStringLiteral("base64 data after its padding in line %1").arg(line_no));
            return result(DecodeStatus::BadCharacter,
                          QStringLiteral("Bad character in base64 line %1").arg(line_no));
        }
        if (ended)
            break;
    }
    if (padding > 0 ? padding != pad_needed : q != 0)
        return result(DecodeStatus::Truncated, QStringLiteral("The base64 data is cut off"));
    out.truncate(reinterpret_cast<char *>(o) - out.data());
    if (jpeg_cut_off(out))
        return result(DecodeStatus::Truncated,
                      QStringLiteral("The base64 data is cut off before the end of the picture"));
    if (out.isEmpty())
        return result(DecodeStatus::NoData, QStringLiteral("The base64 body holds no data"));
    *decoded = std::move(out);
    return result(DecodeStatus::Ok, QString());
}

} // namespace brivane
