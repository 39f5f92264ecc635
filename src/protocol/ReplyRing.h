#pragma once

#include <QtGlobal>

#include <array>

namespace ks {

// The reply ring: entries are served in the order they were put. Equal indexes mean empty,
// so Slots - 1 entries can wait; a full ring refuses the next entry rather than write over
// the one still to be served. Both indexes start at 1.
template <typename Entry, qint16 Slots> class ReplyRing {
public:
    qint16 WriteIndex() const { return write_; }
    qint16 ReadIndex() const { return read_; }
    bool empty() const { return read_ == write_; }
    bool full() const { return next(write_) == read_; }
    // Entries waiting, the one being served included.
    int size() const { return (write_ - read_ + Slots) % Slots; }
    // False, with nothing stored, when full.
    bool put(const Entry& entry) {
        if (full()) return false;
        slots_[size_t(write_)] = entry;
        write_ = next(write_);
        return true;
    }
    // The entry to serve next; only while not empty.
    const Entry& front() const { return slots_[size_t(read_)]; }
    // The entry served has ended: its slot is free.
    void pop() {
        if (!empty()) read_ = next(read_);
    }

private:
    static qint16 next(qint16 i) { return i >= Slots - 1 ? qint16(0) : qint16(i + 1); }
    qint16 write_ = 1;
    qint16 read_ = 1;
    std::array<Entry, size_t(Slots)> slots_{};
};

} // namespace ks
