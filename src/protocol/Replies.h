#pragma once

#include "protocol/CivilTime.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace ks {

// Time source, a value that stays 0, synchronisation state: the status message's three
// values, also carried by "KORVAT1010" replies.
struct StatusTriple {
    qint16 source = 0;
    qint16 reserved = 0;
    qint16 state = 0;

    bool operator==(const StatusTriple&) const = default;
};

// The shutdown announcement "0_0_9".
inline constexpr StatusTriple ShutdownStatus{0, 0, 9};

// Which clock a Quorix reply shows: GMT or the local clock (the LOC flag).
enum class DisplayMode { Gmt, Loc };

// One read of the clock, so that every field of a reply comes from the same instant.
struct ReplyInstant {
    qint64 utcMs = 0; // milliseconds since 1970 UTC
    CivilTime local;  // the local civil time of utcMs
};

// Everything a reply text is built from.
struct ReplyContext {
    int replySerial = 0; // 0..9998
    StatusTriple status;
    DisplayMode mode = DisplayMode::Gmt;
    ReplyInstant now;
};

// "1_0_2": signed decimal values joined by "_".
QByteArray statusMessage(const StatusTriple& status);
// Exactly three signed decimals without leading zeros joined by "_", nothing else.
std::optional<StatusTriple> parseStatusMessage(const QByteArray& text);
// What an announcement means to an operator: "GPS, synchronised", "server shutting down".
QString statusMeaning(const StatusTriple& status);
// A source value as an operator reads it: "PC clock", "GPS", "NTP", "source 2".
QString sourceName(qint16 source);

// ReplySerial as four digits, "0000".."9998".
QByteArray serialText(int replySerial);

// Serial followed by the whole seconds since 1970 (no separator).
QByteArray serveTime(int replySerial, qint64 utcMs);

// A local date-time moved by the zone offset in force at `now`: in GMT mode the clock a
// Quorix reply shows. Both current values come from the one instant, so the difference
// never straddles a second.
CivilTime localToGmt(const CivilTime& local, const ReplyInstant& now);

// Serial + "_" + ClockText ("hh:nn:ss_dd/mm/yy" of the local or GMT clock) + "_" +
// UtcDate (day/month/two-digit year of the UTC date).
QByteArray serveQuorix(int replySerial, const ReplyInstant& now, DisplayMode mode);

// The whole reply text for a token: "KORVAT" + ServeTime, "KORVAT_s_r_t_" + ServeTime, or
// "KORVAT_" + ServeQuorix. Empty for an unknown token.
QByteArray replyText(const QByteArray& token, const ReplyContext& context);

// "{" + text + "}".
QByteArray replyFrame(const QByteArray& text);

// When a reply is built and sent: as soon as its connection is up, or on the edge of the
// second after the one its request was read in, so that the whole second it carries has
// just begun when it arrives.
enum class ReplyTiming { AtOnce, OnSecond };

// The instant (UTC ms) from which the reply to a request read at `readMs` may be built:
// `readMs` itself at once; on the second, the start of the next whole second.
qint64 replyDueMs(ReplyTiming timing, qint64 readMs);

// The first edge of a second strictly after `nowMs`.
qint64 nextSecondEdgeMs(qint64 nowMs);

// The fields of a reply frame, for the reading side.
struct ParsedReply {
    int replySerial = 0;
    qint64 seconds = 0;  // "KORVAT", "KORVAT1010"
    StatusTriple status; // "KORVAT1010"
    CivilTime clock;     // "QUORIX": ClockText; year is the two digits sent (0..99)
    CivilTime utcDate;   // "QUORIX": UtcDate; year is the number sent, time fields 0
};

// Reads a whole reply frame, braces included, of the format that belongs to `token`.
// Anything else (other format, stray bytes, fields out of range) gives nullopt and the
// reason in *error.
std::optional<ParsedReply> parseReply(const QByteArray& frame, const QByteArray& token,
                                      QString* error = nullptr);

} // namespace ks
