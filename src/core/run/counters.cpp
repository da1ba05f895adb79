#include "run/counters.h"

#include "shell/frontend.h"
#include "shell/textutil.h"

namespace brivane {

void RunCounters::show(Frontend &ui) const
{
    ui.set_text(Box::tot_msg, format_thousands(articles_count));
    ui.set_text(Box::files_this, format_thousands(files_this_count));
    ui.set_text(Box::dupes_this, format_thousands(dupes_this_count));
    ui.set_text(Box::lskip, format_thousands(lskip_count));
    ui.set_text(Box::non_bin, format_thousands(non_bin_count));
}

} // namespace brivane
