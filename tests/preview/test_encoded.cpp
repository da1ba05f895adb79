#include "preview/encoded.h"

#include <QTest>

#include <string>

using namespace brivane;

namespace {

bool naive_uu(const std::string &s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x60)
            return false;
    }
    return true;
}

} // namespace

class TestEncoded : public QObject {
    Q_OBJECT
private slots:
    void uu_alphabet_every_byte_in_every_lane()
    {
        // The eight- and sixteen-at-a-time tests must agree with the plain
        // one for every byte value at every position of a line, lengths 1 to
        // 70 (the overlapping last load included).
        for (size_t len = 1; len <= 70; ++len) {
            for (size_t pos = 0; pos < len; ++pos) {
                for (int b = 0; b < 256; ++b) {
                    std::string s(len, 'M');
                    s[pos] = char(b);
                    QVERIFY2(encoded::all_uu_chars(s) == naive_uu(s),
                             qPrintable(QString("len %1 pos %2 byte %3").arg(len).arg(pos).arg(b)));
                }
            }
        }
        QVERIFY(encoded::all_uu_chars(""));
        QVERIFY(encoded::all_uu_chars(std::string(64, ' ')));
        QVERIFY(encoded::all_uu_chars(std::string(64, '`')));
        QVERIFY(!encoded::all_uu_chars(std::string(64, 'a')));
    }

    void uu_data_lines()
    {
        QVERIFY(encoded::is_uu_data_line("M" + std::string(60, '!')));
        QVERIFY(encoded::is_uu_data_line("M" + std::string(61, '!')));   // a check character
        QVERIFY(!encoded::is_uu_data_line("M" + std::string(59, '!')));  // too short
        QVERIFY(!encoded::is_uu_data_line("M" + std::string(62, '!')));  // too long
        QVERIFY(encoded::is_uu_data_line("#86)C"));
        QVERIFY(!encoded::is_uu_data_line("#86)"));  // 3 bytes need 4 characters
        QVERIFY(encoded::is_uu_data_line("#86)C!"));
        QVERIFY(!encoded::is_uu_data_line("#86)C!!"));
        QVERIFY(encoded::is_uu_data_line("!A "));  // 1 byte: 2 characters are enough
        QVERIFY(!encoded::is_uu_data_line("!A"));
        QVERIFY(!encoded::is_uu_data_line("!A\x7f"));
        QVERIFY(encoded::is_uu_data_line("`"));
        QVERIFY(!encoded::is_uu_data_line(""));
        QVERIFY(!encoded::is_uu_data_line("end"));
        QVERIFY(encoded::uu_line_long_enough("M" + std::string(60, '!')));
        QVERIFY(!encoded::uu_line_long_enough("M" + std::string(58, '!')));
    }

    void base64_data_lines()
    {
        QVERIFY(encoded::is_base64_data_line("QUJD"));
        QVERIFY(encoded::is_base64_data_line("QUI="));
        QVERIFY(encoded::is_base64_data_line("QQ=="));
        QVERIFY(encoded::is_base64_data_line("/9j/4AAQ+x0="));
        QVERIFY(!encoded::is_base64_data_line("Q==="));
        QVERIFY(!encoded::is_base64_data_line("QU=D"));
        QVERIFY(!encoded::is_base64_data_line("QUJ"));
        QVERIFY(!encoded::is_base64_data_line(""));
        QVERIFY(!encoded::is_base64_data_line("QU J"));
        QVERIFY(!encoded::is_base64_data_line("--b-"));
        for (int b = 0; b < 256; ++b) {
            std::string s = "QUJDQUJD";
            s[3] = char(b);
            const bool alpha = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')
                               || b == '+' || b == '/';
            QCOMPARE(encoded::is_base64_data_line(s), alpha);
        }
    }

    void lines_split_at_lf_with_cr_dropped()
    {
        const std::string text = "a\r\nb\n\rc\r\r\nlast";
        const char *p = text.data(), *end = p + text.size();
        QCOMPARE(std::string(encoded::next_line(p, end)), std::string("a"));
        QCOMPARE(std::string(encoded::next_line(p, end)), std::string("b"));
        QCOMPARE(std::string(encoded::next_line(p, end)), std::string("\rc\r"));
        QCOMPARE(std::string(encoded::next_line(p, end)), std::string("last"));
        QVERIFY(p == end);
    }
};

QTEST_GUILESS_MAIN(TestEncoded)
#include "test_encoded.moc"
