#pragma once
// Many short lines kept compactly: one byte blob and the end offset of each
// line, instead of one heap object per line (a group list has 100,000 lines,
// an overview fetch as many).
#include <QByteArray>
#include <QList>

namespace brivane {

class LineStore {
public:
    void clear();
    void append(const char *data, qsizetype size);
    void append(const QByteArray &line) { append(line.constData(), line.size()); }

    qint64 count() const { return ends_.size(); }
    // The line at `index` (0-based); empty when out of range.
    QByteArray line(qint64 index) const;
    // Bytes held, for diagnostics.
    qsizetype bytes() const { return blob_.size(); }

private:
    QByteArray blob_;
    QList<qsizetype> ends_;
};

} // namespace brivane
