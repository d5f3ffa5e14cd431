// Loopback numbers for call media: handshake time, frames per second and one-way latency
// for audio-sized (1,200-byte) and video-sized (64 KiB) frames, each sent as a 4-byte
// length prefix plus body on one unidirectional stream, the way calls send them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "p2p/endpoint.hpp"

namespace {

using namespace std::chrono_literals;
constexpr char alpn[] = "bench/0";

struct Counter {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::int64_t> last_arrival_ns{0};
};

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class FrameSink : public std::enable_shared_from_this<FrameSink> {
  public:
    FrameSink(p2p::Connection conn, std::shared_ptr<Counter> counter)
        : m_conn(std::move(conn)), m_counter(std::move(counter)) {}

    void start() {
        m_conn.accept_uni().then([self = shared_from_this()](auto stream) {
            if (!stream) return;
            self->m_stream.emplace(std::move(*stream));
            self->next();
        });
    }

  private:
    void next() {
        m_stream->read_exact(4).then([self = shared_from_this()](auto prefix) {
            if (!prefix) return;
            auto& p = *prefix;
            std::size_t length = p[0] | p[1] << 8 | p[2] << 16 | std::size_t{p[3]} << 24;
            self->m_stream->read_exact(length).then([self](auto body) {
                if (!body) return;
                self->m_counter->last_arrival_ns.store(now_ns());
                self->m_counter->frames.fetch_add(1);
                self->next();
            });
        });
    }

    p2p::Connection m_conn;
    std::shared_ptr<Counter> m_counter;
    std::optional<p2p::RecvStream> m_stream;
};

class Sink : public p2p::ProtocolHandler {
  public:
    explicit Sink(std::shared_ptr<Counter> counter) : m_counter(std::move(counter)) {}
    void accept(p2p::Connection connection) override {
        std::make_shared<FrameSink>(std::move(connection), m_counter)->start();
    }
    std::string debug() const override { return "Sink"; }

  private:
    std::shared_ptr<Counter> m_counter;
};

struct Pair {
    std::shared_ptr<p2p::Runtime> runtime = *p2p::Runtime::create();
    std::shared_ptr<Counter> counter = std::make_shared<Counter>();
    p2p::Endpoint server = *p2p::Endpoint::bind(runtime, options());
    p2p::Endpoint client = *p2p::Endpoint::bind(runtime, options());
    p2p::Router router =
        p2p::Router::builder(server).accept(alpn, std::make_shared<Sink>(counter)).spawn();

    static p2p::EndpointOptions options() {
        p2p::EndpointOptions o;
        o.loopback_only = true;
        return o;
    }
};

std::vector<std::uint8_t> framed(std::size_t size) {
    std::vector<std::uint8_t> out(4 + size, 0x5a);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(size >> (8 * i));
    return out;
}

void BM_Handshake(benchmark::State& state) {
    Pair pair;
    auto addr = pair.server.addr();
    for (auto _ : state) {
        auto conn = pair.client.connect(addr, alpn).wait_for(5s);
        if (!conn || !*conn) {
            state.SkipWithError("handshake failed");
            break;
        }
        (*conn)->close(0, "bench");
    }
}
BENCHMARK(BM_Handshake)->Unit(benchmark::kMicrosecond)->UseRealTime();

struct Stream {
    Pair pair;
    std::optional<p2p::Connection> conn;
    std::optional<p2p::SendStream> stream;

    Stream() {
        conn.emplace(**pair.client.connect(pair.server.addr(), alpn).wait_for(5s));
        stream.emplace(**conn->open_uni().wait_for(5s));
    }
};

void BM_FramesPerSecond(benchmark::State& state) {
    Stream s;
    auto size = static_cast<std::size_t>(state.range(0));
    auto frame = framed(size);
    std::uint64_t sent = 0;
    for (auto _ : state) {
        // Keep a bounded number of writes in flight, like a peer queue does.
        std::deque<p2p::Future<void>> in_flight;
        for (int i = 0; i < 64; ++i) {
            in_flight.push_back(s.stream->write_all(frame));
            if (in_flight.size() > 16) {
                in_flight.front().wait_for(5s);
                in_flight.pop_front();
            }
        }
        for (auto& f : in_flight) f.wait_for(5s);
        sent += 64;
        while (s.pair.counter->frames.load() < sent) std::this_thread::yield();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
    state.SetBytesProcessed(static_cast<std::int64_t>(sent * size));
}
BENCHMARK(BM_FramesPerSecond)
    ->Arg(1200)
    ->Arg(64 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_OneWayLatency(benchmark::State& state) {
    Stream s;
    auto frame = framed(static_cast<std::size_t>(state.range(0)));
    std::uint64_t sent = 0;
    for (auto _ : state) {
        auto start = now_ns();
        s.stream->write_all(frame);
        ++sent;
        while (s.pair.counter->frames.load() < sent) std::this_thread::yield();
        auto arrival = s.pair.counter->last_arrival_ns.load();
        state.SetIterationTime(static_cast<double>(arrival - start) / 1e9);
    }
}
BENCHMARK(BM_OneWayLatency)
    ->Arg(1200)
    ->Arg(64 * 1024)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
