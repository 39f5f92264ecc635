#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace ks {

// Who sent a request frame. The three Korvat codes are internal; only the reply token
// leaves the request service.
enum class ClientType { None, Quorix, Korvat1001, Korvat1010, Korvat1012 };

// Reply tokens, as queued for the reply connection.
inline const QByteArray TokenQuorix = QByteArrayLiteral("QUORIX");
inline const QByteArray TokenKorvat = QByteArrayLiteral("KORVAT");
inline const QByteArray TokenKorvat1010 = QByteArrayLiteral("KORVAT1010");

// Cuts one read into frame bodies. Each frame is one character (not examined; clients put
// "{" there), the body, and "}". A missing "}" or a body shorter than three characters ends
// the read: the rest is dropped. Nothing is kept for the next read.
QList<QByteArray> parseRequests(const QByteArray& text);

// The frame of a read that starts at `start`: its body and where the next frame starts.
// None when the read ends there. A read may be taken frame by frame: what follows a frame,
// read later, parses as it would have in the same read.
struct RequestFrameAt {
    QByteArray body;
    qsizetype next;
};
std::optional<RequestFrameAt> requestFrameAt(const QByteArray& text, qsizetype start);

// The client kind of a frame body: the request texts are searched as case-sensitive
// substrings, Quorix first, and the first one found decides. None when no text is found.
ClientType recogniseRequest(const QByteArray& body);

// "QUORIX", "KORVAT" or "KORVAT1010"; empty for None.
QByteArray replyToken(ClientType type);

// The request text a client of that kind sends, and its whole frame "{" + text + "}".
// Empty for None.
QByteArray requestText(ClientType type);
QByteArray requestFrame(ClientType type);

} // namespace ks
