#include "protocol/RegFile.h"

#include <QStringDecoder>

namespace ks {

namespace {

const QByteArray Header = "REGEDIT4";
// regedit's own exports since Windows 2000: UTF-16LE text, and REG_EXPAND_SZ data in UTF-16LE.
const QByteArray WideHeader = "Windows Registry Editor Version 5.00";
const QByteArray Utf16Bom = "\xFF\xFE";
const QByteArray Utf8Bom = "\xEF\xBB\xBF";

// The text in this system's 8-bit encoding, from UTF-16LE or UTF-8 when a byte-order mark says so.
QByteArray eightBitText(const QByteArray& bytes) {
    if (bytes.startsWith(Utf16Bom)) {
        QStringDecoder wide(QStringConverter::Utf16LE);
        return QString(wide(bytes.mid(Utf16Bom.size()))).toLocal8Bit();
    }
    if (bytes.startsWith(Utf8Bom)) return QString::fromUtf8(bytes.mid(Utf8Bom.size())).toLocal8Bit();
    return bytes;
}

QByteArray notRegeditReason(const QByteArray& firstLine) {
    return "\"" + firstLine.left(40) + "\" is neither \"" + Header + "\" nor \"" + WideHeader +
           "\" (read as plain text, or UTF-16LE or UTF-8 with a byte-order mark)";
}

bool equalsIgnoreCase(const QByteArray& a, const QByteArray& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The end of a quoted name or string starting after its opening quote, or -1.
qsizetype closingQuote(const QByteArray& s, qsizetype from) {
    for (qsizetype i = from; i < s.size(); ++i) {
        if (s[i] == '\\') ++i;
        else if (s[i] == '"') return i;
    }
    return -1;
}

QByteArray unescape(const QByteArray& s) {
    QByteArray out;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        out += s[i];
    }
    return out;
}

std::optional<QByteArray> hexBytes(const QByteArray& list) {
    QByteArray out;
    for (const QByteArray& part : list.split(',')) {
        const QByteArray p = part.trimmed();
        if (p.isEmpty() && list.trimmed().isEmpty()) break;
        bool ok = false;
        const uint v = p.toUInt(&ok, 16);
        if (!ok || p.size() > 2) return std::nullopt;
        out += char(v);
    }
    return out;
}

bool validData(const QByteArray& data) {
    if (data == "-") return true; // a deletion, as regedit files may carry
    if (data.startsWith('"')) return closingQuote(data, 1) == data.size() - 1;
    if (data.startsWith("dword:")) {
        const QByteArray hex = data.mid(6);
        bool ok = false;
        hex.toUInt(&ok, 16);
        return ok && !hex.isEmpty() && hex.size() <= 8;
    }
    if (data.startsWith("hex")) {
        const qsizetype colon = data.indexOf(':');
        return colon > 0 && hexBytes(data.mid(colon + 1)).has_value();
    }
    return false;
}

} // namespace

std::optional<RegFile> RegFile::parse(const QByteArray& bytes, ParseError* error) {
    auto fail = [error](int line, const QByteArray& reason) -> std::optional<RegFile> {
        if (error) *error = {line, reason};
        return std::nullopt;
    };
    QList<QByteArray> lines = eightBitText(bytes).split('\n');
    for (QByteArray& l : lines)
        if (l.endsWith('\r')) l.chop(1);

    RegFile file;
    int lineNo = 0;
    bool headerSeen = false;
    bool wide = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        lineNo = int(i) + 1;
        const int firstLine = lineNo;
        QByteArray line = lines[i].trimmed();
        if (!headerSeen) {
            if (line.isEmpty()) continue;
            if (line != Header && line != WideHeader) return fail(lineNo, notRegeditReason(line));
            headerSeen = true;
            wide = line == WideHeader;
            continue;
        }
        if (line.isEmpty() || line.startsWith(';')) continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']') || line.size() < 3) return fail(lineNo, "unreadable key line");
            file.keys_.append({line.mid(1, line.size() - 2), {}});
            continue;
        }
        if (file.keys_.isEmpty()) return fail(lineNo, "value outside of a key");
        // Hex data may go on over several lines, each but the last ending in a backslash.
        while (line.endsWith('\\') && line.contains("=hex") && i + 1 < lines.size()) {
            line.chop(1);
            line += lines[++i].trimmed();
        }
        QByteArray name;
        qsizetype eq = -1;
        if (line.startsWith('"')) {
            const qsizetype end = closingQuote(line, 1);
            if (end < 0 || end + 1 >= line.size() || line[end + 1] != '=')
                return fail(firstLine, "unreadable value line");
            name = unescape(line.mid(1, end - 1));
            eq = end + 1;
        } else if (line.startsWith("@=")) {
            name = "@";
            eq = 1;
        } else {
            return fail(firstLine, "unreadable value line");
        }
        QByteArray data = line.mid(eq + 1).trimmed();
        if (!validData(data)) return fail(firstLine, "unreadable value data");
        // Held as REGEDIT4 has it, so a save writes what this file meant.
        if (wide && data.startsWith("hex(2):")) {
            QStringDecoder utf16(QStringConverter::Utf16LE);
            data = "hex(2):" + hexList(QString(utf16(*hexBytes(data.mid(7)))).toLocal8Bit());
        }
        file.keys_.last().values.append({name, data, firstLine});
    }
    if (!headerSeen) return fail(1, notRegeditReason({}));
    return file;
}

QByteArray RegFile::serialize() const {
    QByteArray out = Header + "\r\n\r\n";
    for (const Key& key : keys_) {
        out += '[' + key.path + "]\r\n";
        for (const Value& v : key.values) {
            out += (v.name == "@" ? QByteArray("@") : encodeString(v.name)) + '=' + v.data + "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

RegFile::Key* RegFile::findKey(const QByteArray& path) {
    for (Key& k : keys_)
        if (equalsIgnoreCase(k.path, path)) return &k;
    return nullptr;
}

const QByteArray* RegFile::find(const QByteArray& key, const QByteArray& name, int* line) const {
    const Key* k = const_cast<RegFile*>(this)->findKey(key);
    if (!k) return nullptr;
    for (const Value& v : k->values) {
        if (!equalsIgnoreCase(v.name, name)) continue;
        if (line) *line = v.line;
        return &v.data;
    }
    return nullptr;
}

void RegFile::set(const QByteArray& key, const QByteArray& name, const QByteArray& data) {
    Key* k = findKey(key);
    if (!k) {
        keys_.append({key, {}});
        k = &keys_.last();
    }
    for (Value& v : k->values) {
        if (equalsIgnoreCase(v.name, name)) {
            v.data = data;
            return;
        }
    }
    k->values.append({name, data, 0});
}

RegFile::Data RegFile::decode(const QByteArray& data) {
    Data d;
    if (data.startsWith('"')) {
        d.type = Type::String;
        d.text = unescape(data.mid(1, data.size() - 2));
    } else if (data.startsWith("dword:")) {
        d.type = Type::Dword;
        d.dword = data.mid(6).toUInt(nullptr, 16);
    } else if (data.startsWith("hex(2):")) {
        d.type = Type::ExpandString;
        const QByteArray raw = hexBytes(data.mid(7)).value_or(QByteArray());
        const qsizetype nul = raw.indexOf('\0');
        d.text = nul >= 0 ? raw.left(nul) : raw;
    }
    return d;
}

QByteArray RegFile::encodeString(const QByteArray& text) {
    QByteArray out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

QByteArray RegFile::hexList(const QByteArray& bytes) {
    QByteArray out;
    for (qsizetype i = 0; i < bytes.size(); ++i)
        out += (i ? "," : "") + QByteArray::number(uchar(bytes[i]), 16).rightJustified(2, '0');
    return out;
}

QByteArray RegFile::encodeDword(quint32 value) {
    return "dword:" + QByteArray::number(value, 16).rightJustified(8, '0');
}

} // namespace ks
