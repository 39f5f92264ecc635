#include "protocol/Csv.h"

namespace ks {

QByteArray csvLine(const QList<QByteArray>& cells) {
    QByteArray line;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i > 0) line += ',';
        line += '"';
        line += QByteArray(cells[i]).replace('"', "\"\"");
        line += '"';
    }
    line += "\r\n";
    return line;
}

} // namespace ks
