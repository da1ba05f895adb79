#include "session/linestore.h"

namespace brivane {

void LineStore::clear()
{
    blob_.clear();
    ends_.clear();
}

void LineStore::append(const char *data, qsizetype size)
{
    blob_.append(data, size);
    ends_.append(blob_.size());
}

QByteArray LineStore::line(qint64 index) const
{
    if (index < 0 || index >= ends_.size())
        return {};
    const qsizetype begin = index == 0 ? 0 : ends_.at(index - 1);
    return blob_.mid(begin, ends_.at(index) - begin);
}

} // namespace brivane
