#pragma once
// Helpers shared by the endpoint tests: waiting on futures, collecting accepted
// connections, loopback-only options and raw UDP datagrams towards an endpoint.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <span>
#include <vector>

#include "p2p/endpoint.hpp"

namespace p2p::test_support {

using namespace std::chrono_literals;

template <typename T>
Result<T> wait(Future<T> future, std::chrono::milliseconds timeout = 5s) {
    auto result = future.wait_for(timeout);
    if (!result) return fail(ErrorKind::TimedOut, "test wait timed out");
    return std::move(*result);
}

// Accepts connections and keeps them so that tests can drive them from the test thread.
class Collect : public ProtocolHandler {
  public:
    Collect() {
        m_promises.emplace_back();
        m_futures.push_back(m_promises.back().future());
    }

    void accept(Connection connection) override {
        std::lock_guard lock(m_mutex);
        m_promises.front().set(std::move(connection));
        m_promises.erase(m_promises.begin());
        m_promises.emplace_back();
        m_futures.push_back(m_promises.back().future());
        ++m_accepted;
    }
    std::string debug() const override { return "Collect"; }

    Future<Connection> next() {
        std::lock_guard lock(m_mutex);
        return std::move(m_futures[m_taken++]);
    }

    std::size_t accepted() {
        std::lock_guard lock(m_mutex);
        return m_accepted;
    }

  private:
    std::mutex m_mutex;
    std::vector<Promise<Connection>> m_promises;
    std::vector<Future<Connection>> m_futures;
    std::size_t m_taken = 0;
    std::size_t m_accepted = 0;
};

inline EndpointOptions loopback(std::chrono::milliseconds handshake = 2000ms) {
    EndpointOptions options;
    options.loopback_only = true;
    options.handshake_timeout = handshake;
    return options;
}

inline std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return out;
}

// The IPv4 loopback port an endpoint listens on.
inline std::uint16_t v4_port(Endpoint const& endpoint) {
    for (auto const& a : endpoint.addr().addrs)
        if (a.family == SocketAddr::Family::V4) return a.port;
    return 0;
}

// A plain UDP socket on 127.0.0.1 for sending datagrams an endpoint did not ask for.
class RawUdp {
  public:
    RawUdp() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    RawUdp(RawUdp const&) = delete;
    RawUdp& operator=(RawUdp const&) = delete;
    ~RawUdp() { close(m_fd); }

    bool send_to(std::uint16_t port, std::span<std::uint8_t const> data) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        return sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof to) == static_cast<ssize_t>(data.size());
    }

  private:
    int m_fd = -1;
};

}  // namespace p2p::test_support

namespace p2p::test_support {

// Collects the first datagram of handshakes that never go further: dials from `attacker`
// towards a socket that only records them (the key named is the victim's, so each one
// is a genuine Initial for it), deduplicated by destination id.
inline std::vector<std::vector<std::uint8_t>> capture_initials(Endpoint& attacker,
                                                               EndpointId victim,
                                                               std::string const& alpn,
                                                               std::size_t count) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    EndpointAddr sink{victim, {SocketAddr::v4({127, 0, 0, 1}, ntohs(local.sin_port))}};
    std::vector<Future<Connection>> dials;
    for (std::size_t i = 0; i < count; ++i) dials.push_back(attacker.connect(sink, alpn));
    std::vector<std::vector<std::uint8_t>> out;
    std::vector<std::vector<std::uint8_t>> seen_ids;
    std::uint8_t buf[2048];
    while (out.size() < count) {
        auto n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        if (n < 7) continue;
        std::vector<std::uint8_t> id(buf + 6, buf + 6 + std::min<std::size_t>(buf[5], n - 6));
        if (std::find(seen_ids.begin(), seen_ids.end(), id) != seen_ids.end()) continue;
        seen_ids.push_back(id);
        out.emplace_back(buf, buf + n);
    }
    close(fd);
    return out;
}

// Completes once the accepted side has read `count` bytes from the next stream.
inline Future<std::vector<std::uint8_t>> read_next_stream(Connection connection,
                                                          std::size_t count) {
    auto promise = std::make_shared<Promise<std::vector<std::uint8_t>>>();
    auto future = promise->future();
    connection.accept_uni().then([promise, count](Result<RecvStream> stream) {
        if (!stream) return promise->set(std::unexpected(stream.error()));
        auto held = std::make_shared<RecvStream>(std::move(*stream));
        held->read_exact(count).then(
            [promise, held](auto bytes) { promise->set(std::move(bytes)); });
    });
    return future;
}

}  // namespace p2p::test_support

namespace p2p::test_support {

inline std::vector<std::uint8_t> long_header(std::uint32_t version, std::uint8_t first,
                                             std::size_t dcid_len, std::size_t total) {
    std::vector<std::uint8_t> out{first,
                                  static_cast<std::uint8_t>(version >> 24),
                                  static_cast<std::uint8_t>(version >> 16),
                                  static_cast<std::uint8_t>(version >> 8),
                                  static_cast<std::uint8_t>(version),
                                  static_cast<std::uint8_t>(dcid_len)};
    std::mt19937 rng(static_cast<unsigned>(dcid_len * 131 + total));
    while (out.size() < total) out.push_back(static_cast<std::uint8_t>(rng()));
    if (out.size() > 6 + dcid_len) out[6 + dcid_len] = 8;  // source id length
    out.resize(total);
    return out;
}

inline std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

struct Datagram {
    char const* name;
    std::vector<std::uint8_t> bytes;
};

// Datagrams no QUIC peer sends: empty, cut short, malformed, unsupported, random.
inline std::vector<Datagram> hostile_datagrams() {
    return {
        {"Empty", {}},
        {"OneZeroByte", {0x00}},
        {"OneShortHeaderByte", {0x40}},
        {"OneLongHeaderByte", {0xc0}},
        {"LongHeaderCutInTheVersion", {0xc0, 0x00, 0x00}},
        {"LongHeaderCutAfterTheIdLength", long_header(1, 0xc0, 20, 6)},
        {"ShortHeaderBelowTheSmallestPacket", random_bytes(20, 1)},
        {"IdLengthBeyondTheDatagram", long_header(1, 0xc0, 255, 60)},
        {"IdLongerThanQuicAllows", long_header(1, 0xc0, 21, 1200)},
        {"InitialWithGarbageProtection", long_header(1, 0xc0, 8, 1200)},
        {"InitialWithShortId", long_header(1, 0xc0, 4, 1200)},
        {"InitialBelowTheMinimumSize", long_header(1, 0xc0, 8, 600)},
        {"ZeroRttBeforeAnyInitial", long_header(1, 0xd0, 8, 1200)},
        {"HandshakeForNoConnection", long_header(1, 0xe0, 8, 1200)},
        {"RetryForNoConnection", long_header(1, 0xf0, 8, 100)},
        {"ReservedVersion", long_header(0x1a2a3a4a, 0xc0, 8, 1200)},
        {"UnknownVersion", long_header(0xff00001d, 0xc0, 8, 1200)},
        {"VersionNegotiation", long_header(0, 0x80, 8, 40)},
        {"RandomFullSize", random_bytes(1200, 2)},
        {"RandomLargest", random_bytes(65000, 3)},
    };
}

}  // namespace p2p::test_support
