#pragma once

// A large workspace in the shape a team writes it, for the benchmarks: 20 text channels in
// two workspaces; every 5th message a thread reply, every 3rd with reactions from two or
// three people, every 7th mentioning someone.

#include <string>
#include <vector>

#include "doc/schema.hpp"

namespace bench {

inline constexpr int channel_count = 20;
inline constexpr char const* people[] = {"u_me",   "u_elin",  "u_ravi",
                                         "u_tove", "u_jonah", "u_nadia"};
inline constexpr char const* emoji[] = {"👍", "🔥", "🎉", "👀"};

inline std::string channel_id(int c) {
    return "c_bench_" + std::to_string(c);
}

inline chat::Message bench_message(int i, std::string const& root) {
    chat::Message m;
    m.id = "m_" + std::to_string(i);
    m.author = people[i % 6];
    m.ts = 1782464400 + i * 13;
    m.text = "Message number " + std::to_string(i) + " about the call overlay grid and its motion.";
    if (i % 5 == 4 && !root.empty()) m.parent = root;
    if (i % 3 == 0)
        m.reactions = {{emoji[i % 4], {people[(i + 1) % 6], people[(i + 2) % 6]}},
                       {emoji[(i + 1) % 4], {people[(i + 3) % 6]}}};
    if (i % 7 == 0) m.mentions = {{people[(i + 4) % 6], 0, 5, false}};
    return m;
}

// Writes the workspaces, channels and `messages` messages into `d`. Each channel is written by
// its own peer and merged, as it would arrive from a team: inserting checks the id against
// the whole document, so one writer would make the set-up quadratic in the message count.
// With `change_per_message`, every message is a change of its own, as the app commits them.
inline void fill_workspace(chat::doc::AutoCommit& d, int messages, bool change_per_message) {
    for (int p = 0; p < 6; ++p) chat::doc::write_person(d, people[p], people[p], "P", p, "online");
    chat::doc::write_workspace(d, "ws_a", "A", "A", 0, 0);
    chat::doc::write_workspace(d, "ws_b", "B", "B", 1, 1);
    auto lists = *chat::doc::ensure_map(d, chat::doc::ObjId::root(), "messages");
    for (int c = 0; c < channel_count; ++c) {
        chat::doc::write_channel(d, channel_id(c), c < 10 ? "ws_a" : "ws_b", "cat", "ch", "",
                                 chat::ChannelKind::Text, c);
        (void)chat::doc::ensure_list(d, lists, channel_id(c));
    }
    chat::doc::write_channel(d, "c_voice", "ws_a", "cat", "v", "", chat::ChannelKind::Voice, 99);
    chat::doc::join_call(d, "c_voice", "u_ravi");
    d.commit();
    std::vector<chat::doc::AutoCommit> peers;
    for (int c = 0; c < channel_count; ++c) peers.push_back(d.fork());
    for (int c = 0; c < channel_count; ++c) {
        auto& peer = peers[size_t(c)];
        std::string root;
        for (int i = c; i < messages; i += channel_count) {
            auto m = bench_message(i, root);
            chat::doc::insert_message(peer, channel_id(c), m);
            if (change_per_message) peer.commit();
            if (!m.parent) root = m.id;
        }
        peer.commit();
        (void)d.merge(peer);
    }
}

}  // namespace bench
