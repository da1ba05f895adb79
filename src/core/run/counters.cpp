#include "run/counters.h"

#include "shell/frontend.h"
#include "shell/textutil.h"

namespace brivane {

void RunCounters::show(Frontend &ui) const
{
    auto text = [](Shown &shown, qint64 value) -> const QString & {
        if (shown.value != value) {
            shown.value = value;
            shown.text = format_thousands(value);
        }
        return shown.text;
    };
    ui.set_text(Box::tot_msg, text(shown_[0], articles_count));
    ui.set_text(Box::files_this, text(shown_[1], files_this_count));
    ui.set_text(Box::dupes_this, text(shown_[2], dupes_this_count));
    ui.set_text(Box::lskip, text(shown_[3], lskip_count));
    ui.set_text(Box::non_bin, text(shown_[4], non_bin_count));
}

} // namespace brivane
