#include "protocol/Requests.h"

#include <array>

namespace ks {

namespace {
struct RequestKind {
    const char* text;
    ClientType type;
};

// Search order matters: a body holding two texts belongs to the first one listed.
constexpr std::array<RequestKind, 4> RequestKinds{{
    {"Quorix Request Date and Time", ClientType::Quorix},
    {"Brevane Request Date and Time", ClientType::Korvat1001},
    {"KorvatClient1010", ClientType::Korvat1010},
    {"KorvatClient1012", ClientType::Korvat1012},
}};

constexpr qsizetype MinBody = 3;
} // namespace

std::optional<RequestFrameAt> requestFrameAt(const QByteArray& text, qsizetype start) {
    if (start >= text.size()) return std::nullopt;
    const qsizetype close = text.indexOf('}', start);
    // Body = everything between the frame's first character and the "}".
    const qsizetype n = close < 0 ? -2 : close - start - 1;
    if (n < MinBody) return std::nullopt;
    return RequestFrameAt{text.mid(start + 1, n), close + 1};
}

QList<QByteArray> parseRequests(const QByteArray& text) {
    QList<QByteArray> bodies;
    qsizetype start = 0;
    while (const auto frame = requestFrameAt(text, start)) {
        bodies.append(frame->body);
        start = frame->next;
    }
    return bodies;
}

ClientType recogniseRequest(const QByteArray& body) {
    for (const RequestKind& kind : RequestKinds) {
        if (body.contains(kind.text)) return kind.type;
    }
    return ClientType::None;
}

QByteArray replyToken(ClientType type) {
    switch (type) {
    case ClientType::Quorix: return TokenQuorix;
    case ClientType::Korvat1001: return TokenKorvat;
    case ClientType::Korvat1010:
    case ClientType::Korvat1012: return TokenKorvat1010;
    case ClientType::None: break;
    }
    return {};
}

QByteArray requestText(ClientType type) {
    for (const RequestKind& kind : RequestKinds) {
        if (kind.type == type) return QByteArray(kind.text);
    }
    return {};
}

QByteArray requestFrame(ClientType type) {
    const QByteArray text = requestText(type);
    return text.isEmpty() ? text : '{' + text + '}';
}

} // namespace ks
