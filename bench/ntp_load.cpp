// An NTP load client: requests from many source addresses (127.1.0.1 onwards, all local), sent
// and read a batch at a time (sendmmsg/recvmmsg), each answer matched by its originate stamp.
//   ntp-load rates HOST PORT SOURCES RATE...   per rate, one second of requests: sent, answered
//   ntp-load offsets HOST PORT COUNT            COUNT requests at 100/s: offset p50/p99, delay p50
//   ntp-load limit HOST PORT SECONDS            one address at 100/s, another at 1/s: answered
// Run it inside tests/netns-run; every loop is bounded in count and time.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr long long Billion = 1'000'000'000;
constexpr long long Unix1900 = 2208988800LL;

long long nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * Billion + ts.tv_nsec;
}

unsigned long long ntpOf(long long ns) {
    const auto secs = static_cast<unsigned long long>(ns / Billion + Unix1900);
    const auto frac = (static_cast<unsigned long long>(ns % Billion) << 32) / Billion;
    return secs << 32 | frac;
}

long long nsOf(unsigned long long ntp) {
    return (static_cast<long long>(ntp >> 32) - Unix1900) * Billion +
           static_cast<long long>(((ntp & 0xFFFFFFFFu) * Billion) >> 32);
}

unsigned long long readStamp(const unsigned char* p) {
    unsigned long long v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

void writeStamp(unsigned char* p, unsigned long long v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v & 0xFF);
}

struct Client {
    std::vector<int> sockets;
    sockaddr_in server{};
    // Transmit stamp -> the socket that sent it; answered ones are erased.
    std::unordered_map<unsigned long long, int> waiting;
    long long answered = 0;
    std::vector<long long> offsets, delays; // ns, when asked to keep them
    bool keep = false;

    Client(const char* host, int port, int sources) {
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<unsigned short>(port));
        inet_pton(AF_INET, host, &server.sin_addr);
        for (int i = 0; i < sources; ++i) {
            const int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            const int on = 1;
            setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
            const int buffer = 1 << 20;
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(0x7F010001u + static_cast<unsigned>(i));
            if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                std::perror("bind");
                std::exit(1);
            }
            sockets.push_back(s);
        }
    }
    ~Client() {
        for (const int s : sockets) close(s);
    }

    // Sends count requests from one socket in one call.
    void send(int socketIndex, int count) {
        std::vector<unsigned char> packets(static_cast<size_t>(count) * 48, 0);
        std::vector<iovec> io(static_cast<size_t>(count));
        std::vector<mmsghdr> msgs(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            unsigned char* p = &packets[static_cast<size_t>(i) * 48];
            p[0] = 0x23;
            unsigned long long stamp = ntpOf(nowNs());
            while (waiting.count(stamp)) ++stamp; // unique, so each answer finds its request
            writeStamp(p + 40, stamp);
            waiting[stamp] = socketIndex;
            io[static_cast<size_t>(i)] = {p, 48};
            msgs[static_cast<size_t>(i)].msg_hdr.msg_iov = &io[static_cast<size_t>(i)];
            msgs[static_cast<size_t>(i)].msg_hdr.msg_iovlen = 1;
            msgs[static_cast<size_t>(i)].msg_hdr.msg_name = &server;
            msgs[static_cast<size_t>(i)].msg_hdr.msg_namelen = sizeof server;
        }
        sendmmsg(sockets[static_cast<size_t>(socketIndex)], msgs.data(), static_cast<unsigned>(count), 0);
    }

    // Reads what waits on every socket.
    void drain() {
        constexpr int Batch = 64;
        unsigned char buffers[Batch][64];
        alignas(cmsghdr) char controls[Batch][64];
        iovec io[Batch];
        mmsghdr msgs[Batch];
        for (const int s : sockets) {
            for (;;) {
                std::memset(msgs, 0, sizeof msgs);
                for (int i = 0; i < Batch; ++i) {
                    io[i] = {buffers[i], sizeof buffers[i]};
                    msgs[i].msg_hdr.msg_iov = &io[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                    msgs[i].msg_hdr.msg_control = controls[i];
                    msgs[i].msg_hdr.msg_controllen = sizeof controls[i];
                }
                const int n = recvmmsg(s, msgs, Batch, MSG_DONTWAIT, nullptr);
                if (n <= 0) break;
                const long long readAt = nowNs();
                for (int i = 0; i < n; ++i) take(buffers[i], msgs[i], readAt);
            }
        }
    }

    void take(const unsigned char* a, mmsghdr& m, long long readAt) {
        if (m.msg_len < 48) return;
        const auto it = waiting.find(readStamp(a + 24));
        if (it == waiting.end()) return;
        waiting.erase(it);
        ++answered;
        if (!keep) return;
        long long t4 = readAt;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr); c; c = CMSG_NXTHDR(&m.msg_hdr, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                t4 = ts.tv_sec * Billion + ts.tv_nsec;
            }
        const long long t1 = nsOf(readStamp(a + 24)), t2 = nsOf(readStamp(a + 32)),
                        t3 = nsOf(readStamp(a + 40));
        offsets.push_back(((t2 - t1) + (t3 - t4)) / 2);
        delays.push_back((t4 - t1) - (t3 - t2));
    }

    // Reads until everything is answered or `ms` have passed.
    void settle(int ms) {
        const long long end = nowNs() + ms * 1'000'000LL;
        while (!waiting.empty() && nowNs() < end) {
            drain();
            usleep(200);
        }
        waiting.clear();
    }
};

// `rate` requests a second for one second, spread over the sources, a batch per millisecond.
void runRate(Client& c, long long rate) {
    const long long start = nowNs();
    long long sent = 0;
    int next = 0;
    c.answered = 0;
    while (sent < rate) {
        const long long due = std::min(rate, (nowNs() - start) * rate / Billion + 1);
        while (sent < due) {
            const int n = static_cast<int>(std::min<long long>(due - sent, 64));
            c.send(next, n);
            next = (next + 1) % static_cast<int>(c.sockets.size());
            sent += n;
        }
        c.drain();
        usleep(500);
        if (nowNs() - start > 3 * Billion) break; // the sender itself cannot keep up
    }
    c.settle(500);
    std::printf("  %7lld/s: sent %lld, answered %lld, lost %lld\n", rate, sent, c.answered,
                sent - c.answered);
}

long long percentile(std::vector<long long> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: ntp-load rates|offsets|limit HOST PORT ARG...\n");
        return 64;
    }
    const char* mode = argv[1];
    const char* host = argv[2];
    const int port = std::atoi(argv[3]);
    if (std::strcmp(mode, "rates") == 0) {
        Client c(host, port, std::atoi(argv[4]));
        for (int i = 5; i < argc; ++i) runRate(c, std::atoll(argv[i]));
    } else if (std::strcmp(mode, "offsets") == 0) {
        Client c(host, port, 1);
        c.keep = true;
        const int count = std::atoi(argv[4]);
        for (int i = 0; i < count; ++i) {
            c.send(0, 1);
            c.settle(100);
            usleep(10'000);
        }
        std::printf(
            "  %zu answers: offset p50 %.1f us, p99 %.1f us (by size %.1f us); delay p50 %.1f us\n",
            c.offsets.size(), double(percentile(c.offsets, 0.5)) / 1e3,
            double(percentile(c.offsets, 0.99)) / 1e3,
            double(std::max(std::abs(percentile(c.offsets, 0.01)), std::abs(percentile(c.offsets, 0.99)))) /
                1e3,
            double(percentile(c.delays, 0.5)) / 1e3);
    } else {
        Client busy(host, port, 1), calm(host, port, 2); // calm's second source is 127.1.0.2
        const int seconds = std::atoi(argv[4]);
        long long busySent = 0, calmSent = 0, busyAnswered = 0, calmAnswered = 0;
        for (int tick = 0; tick < seconds * 100; ++tick) {
            busy.send(0, 1);
            ++busySent;
            if (tick % 100 == 0) calm.send(1, 1), ++calmSent;
            usleep(10'000);
            busy.drain();
            calm.drain();
        }
        busy.settle(500);
        calm.settle(500);
        busyAnswered = busy.answered;
        calmAnswered = calm.answered;
        std::printf(
            "  %d s: 100/s from 127.1.0.1: %lld of %lld answered; 1/s from 127.1.0.2: %lld of %lld answered\n",
            seconds, busyAnswered, busySent, calmAnswered, calmSent);
    }
    return 0;
}
