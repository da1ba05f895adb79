#pragma once
#include <QString>
#include <QtGlobal>

namespace brivane {

class Frontend;

// The counters of one run. 64-bit: they never stop at 32,767.
struct RunCounters {
    qint64 files_this_count = 0;  // pictures saved
    qint64 dupes_this_count = 0;  // skipped as duplicates
    qint64 articles_count = 0;    // headers examined
    qint64 lskip_count = 0;       // locked-out or ignored senders
    qint64 non_bin_count = 0;     // every other rejection

    // Shows each counter in its box ("##,##0", non_bin "###,##0").
    void show(Frontend &ui) const;

private:
    // The text last made for each counter: shown two or three times per
    // header, the counters but one rarely change, so their text is made again
    // only when they do.
    struct Shown {
        qint64 value = -1;
        QString text;
    };
    mutable Shown shown_[5];
};

} // namespace brivane
