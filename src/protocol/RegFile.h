#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace ks {

// A registry export in REGEDIT4 text: keys in brackets, each with "name"=data lines.
// Parsing keeps every key and value it does not know, byte for byte, so a save writes them back.
class RegFile {
public:
    struct Value {
        QByteArray name; // without quotes; "@" for a key's default value
        QByteArray data; // the text after '=', continuation lines joined
        int line = 0;    // where the file holds it; 0 when not read from a file
    };
    struct Key {
        QByteArray path;
        QList<Value> values;
    };

    enum class Type { String, ExpandString, Dword, Other };
    struct Data {
        Type type = Type::Other;
        QByteArray text;   // String and ExpandString (not expanded)
        quint32 dword = 0; // Dword
    };

    struct ParseError {
        int line = 0;
        QByteArray reason;
    };

    // Reads CR LF or LF text, REGEDIT4 or regedit's "Windows Registry Editor Version 5.00" (in
    // UTF-16LE or UTF-8 with a byte-order mark); on failure returns nothing and fills *error.
    static std::optional<RegFile> parse(const QByteArray& bytes, ParseError* error);
    // Writes with CR LF, as regedit's own exports are.
    QByteArray serialize() const;

    const QByteArray* find(const QByteArray& key, const QByteArray& name, int* line = nullptr) const;
    void set(const QByteArray& key, const QByteArray& name, const QByteArray& data);
    const QList<Key>& keys() const { return keys_; }

    static Data decode(const QByteArray& data);
    static QByteArray encodeString(const QByteArray& text);
    static QByteArray encodeDword(quint32 value);
    // "a0,0b,...", as hex data lists its bytes.
    static QByteArray hexList(const QByteArray& bytes);

private:
    Key* findKey(const QByteArray& path);
    QList<Key> keys_;
};

} // namespace ks
