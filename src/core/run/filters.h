#pragma once
// Taking subjects, senders and overview lines apart. These keep the exact
// rules (and quirks) users' subjects have been matched by for years.
#include <QString>
#include <QStringList>

namespace brivane {

// The n-th field (from 1) of `text` split at `delimiter`; empty when missing.
QString get_field(const QString &text, QChar delimiter, int n);
// Number of groups named by an Xref field; at least 1.
int xref_count(const QString &x);
// Index (from 1) into `masks` of the first ".mask" found in t regardless of case; 0 when none.
int ismask(const QString &t, const QStringList &masks);
// The same for a file name, but only its last extension counts: what the
// name after its last "." starts with. "a.jpg.desktop" is no picture.
int extension_mask(const QString &name, const QStringList &masks);
int get_high_part(const QString &s);
int get_low_part(const QString &s);
// The file name for subject s and mask index k (a single blank when none).
QString getfilename(const QString &subject, int k, const QStringList &masks);
// What the duplicate list keeps for a saved name: a name too long for its
// column is kept cut as getfilename cuts a subject's, so the two still meet.
QString dupe_key(const QString &name);
// The sender from its first "@" on; empty when there is none.
QString get_domain(const QString &dstr);
// "[" -> "(", "]" -> ")", "|" -> blank.
QString nobrackets(const QString &text);
QString quote_to_tilde(const QString &text);
QString tilde_to_quote(const QString &text);
// True when current_sender equals an entry of the ignore list.
bool is_ignored(const QString &current_sender, const QStringList &ignore_list);

} // namespace brivane
