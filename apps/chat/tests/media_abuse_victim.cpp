// A call participant's media endpoint under attack, in a process of its own so that its
// memory can be read from outside. Prints its ticket, then takes commands on stdin:
//   allow <ticket>   the ticket's owner joined the call: connect to it, as a call does
//   report           prints "report <frames> <connections> <pending handshakes>
//                    <buffered bytes> <retries> <refused> <rss kB> <peak rss kB>
//                    <C++ heap kB> <peak C++ heap kB>"
// Meanwhile it drains and counts incoming frames. It ends when stdin closes.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "heap_counter.hpp"
#include "media/network_transport.hpp"

using namespace chat::media;

namespace {

long status_kb(std::string const& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

}  // namespace

int main() {
    p2p::EndpointOptions options;
    options.loopback_only = true;
    auto transport = NetworkTransport::start(options);
    if (!transport) {
        std::cerr << "media_abuse_victim: " << transport.error().message << "\n";
        return 2;
    }
    auto& net = **transport;
    std::cout << net.local_ticket() << std::endl;

    std::mutex mutex;
    std::deque<std::string> commands;
    std::atomic<bool> input_closed{false};
    std::thread reader([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(line));
        }
        input_closed = true;
    });

    std::vector<std::string> participants;
    std::uint64_t frames = 0;
    for (;;) {
        for (auto const& ticket : participants) net.connect(ticket);
        for (auto batch = net.drain_frames(); !batch.empty(); batch = net.drain_frames())
            frames += batch.size();
        std::deque<std::string> pending;
        {
            std::lock_guard lock(mutex);
            pending.swap(commands);
        }
        if (pending.empty() && input_closed) break;
        for (auto const& command : pending) {
            if (command.rfind("allow ", 0) == 0) {
                participants.push_back(command.substr(6));
            } else if (command == "report") {
                auto stats = net.endpoint_stats().wait_for(std::chrono::seconds(5));
                if (!stats || !*stats) return 3;
                auto const& s = **stats;
                std::cout << "report " << frames << ' ' << s.connections << ' '
                          << s.pending_handshakes << ' ' << s.buffered_bytes << ' '
                          << s.retries_sent << ' ' << s.peers_refused << ' ' << status_kb("VmRSS")
                          << ' ' << status_kb("VmHWM") << ' ' << heap::live.load() / 1024 << ' '
                          << heap::peak.load() / 1024 << std::endl;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reader.join();
    return 0;
}
