#include "doc/seeds.hpp"

#include <array>
#include <string_view>

#include "doc/ids.hpp"
#include "doc/internal_error.hpp"
#include "doc/schema.hpp"

namespace chat::doc {

namespace {

// Marks the document seeded; false when it already was.
bool claim_seed(AutoCommit& doc) {
    if (is_seeded(doc)) return false;
    must(put_bool(doc, ObjId::root(), seeded_key, true), "put map");
    return true;
}

struct PersonRow {
    std::string_view id, name, initials;
    int64_t color_idx;
    std::string_view status;
};

struct WorkspaceRow {
    std::string_view id, name, glyph;
    int64_t color_idx, order;
};

struct CategoryRow {
    std::string_view id, workspace, name;
    int64_t order;
};

struct ChannelRow {
    std::string_view id, workspace, category, name, topic;
    ChannelKind kind;
    int64_t order;
};

struct CallRow {
    std::string_view person;
    bool talking, muted, deafened, audio_only;
};

constexpr auto text = ChannelKind::Text;
constexpr auto voice = ChannelKind::Voice;

constexpr std::array demo_people{
    PersonRow{"u_me", "You", "YU", 0, "online"},
    PersonRow{"u_elin", "Elin Marsh", "EM", 1, "online"},
    PersonRow{"u_ravi", "Ravi Holt", "RH", 2, "idle"},
    PersonRow{"u_tove", "Tove Lind", "TL", 3, "online"},
    PersonRow{"u_jonah", "Jonah Pike", "JP", 5, "dnd"},
    PersonRow{"u_nadia", "Nadia Kerr", "NK", 6, "offline"},
};

constexpr std::array demo_workspaces{
    WorkspaceRow{"ws_acme", "Acme Design", "AD", 0, 0},
    WorkspaceRow{"ws_vemo", "Vemo Core", "VC", 1, 1},
    WorkspaceRow{"ws_jam", "Weekend Jam", "WJ", 3, 2},
};

constexpr std::array demo_categories{
    CategoryRow{"cat_acme_main", "ws_acme", "Channels", 0},
    CategoryRow{"cat_acme_voice", "ws_acme", "Voice", 1},
    CategoryRow{"cat_vemo_eng", "ws_vemo", "Engineering", 0},
    CategoryRow{"cat_vemo_voice", "ws_vemo", "Voice", 1},
    CategoryRow{"cat_jam_main", "ws_jam", "Hangout", 0},
};

constexpr std::array acme_channels{
    ChannelRow{"c_general", "ws_acme", "cat_acme_main", "general", "Company-wide announcements",
               text, 0},
    ChannelRow{"c_crit", "ws_acme", "cat_acme_main", "design-crit",
               "Share work, get sharp feedback", text, 1},
    ChannelRow{"c_frontend", "ws_acme", "cat_acme_main", "frontend", "ui toolkit + app shells",
               text, 2},
    ChannelRow{"c_random", "ws_acme", "cat_acme_main", "random", "Off-topic & watercooler", text,
               3},
    ChannelRow{"c_standup", "ws_acme", "cat_acme_voice", "Daily Standup", "", voice, 0},
    ChannelRow{"c_huddle", "ws_acme", "cat_acme_voice", "Design Huddle", "", voice, 1},
};

constexpr std::array other_channels{
    ChannelRow{"c_kernel", "ws_vemo", "cat_vemo_eng", "kernel", "bootc + immutable base", text, 0},
    ChannelRow{"c_compositor", "ws_vemo", "cat_vemo_eng", "compositor", "2D clusters & sandboxing",
               text, 1},
    ChannelRow{"c_fssync", "ws_vemo", "cat_vemo_eng", "fs-sync", "iroh projection & hydration",
               text, 2},
    ChannelRow{"c_releases", "ws_vemo", "cat_vemo_eng", "releases", "ship logs", text, 3},
    ChannelRow{"c_warroom", "ws_vemo", "cat_vemo_voice", "War Room", "", voice, 0},
    ChannelRow{"c_ideas", "ws_jam", "cat_jam_main", "ideas", "weekend hacks", text, 0},
    ChannelRow{"c_music", "ws_jam", "cat_jam_main", "music", "now playing", text, 1},
};

constexpr std::string_view huddle = "c_huddle";

constexpr std::array huddle_call{
    CallRow{"u_elin", true, false, false, false},
    CallRow{"u_ravi", false, true, false, false},
    CallRow{"u_tove", false, false, false, true},
};

// A time on the demo morning.
constexpr int64_t at(int hour, int minute) {
    return demo_first_ts + int64_t(hour - 9) * 3600 + int64_t(minute) * 60;
}

Message message(std::string id, std::string_view author, int64_t ts, std::string_view body) {
    Message m;
    m.id = std::move(id);
    m.author = std::string(author);
    m.ts = ts;
    m.text = std::string(body);
    return m;
}

Message& react(Message& m, std::string_view emoji, std::initializer_list<std::string_view> users) {
    ReactionGroup group{std::string(emoji), {}};
    for (auto user : users) group.users.emplace_back(user);
    m.reactions.push_back(std::move(group));
    return m;
}

void post(AutoCommit& doc, std::string_view channel, Message const& m) {
    insert_message(doc, channel, m);
}

void write_general(AutoCommit& doc) {
    auto welcome =
        message("m_welcome", "u_nadia", at(9, 0),
                "Welcome to Acme Design on Vemo 👋 Everything in the sidebar belongs to the "
                "workspace you're standing in: switch workspaces on the left rail and the "
                "channels, people and calls switch with you. Design talk lives in #design-crit, "
                "quick calls in the voice channels below.");
    react(welcome, "👋", {"u_elin", "u_tove", "u_ravi"});
    post(doc, "c_general", welcome);
}

void write_crit(AutoCommit& doc) {
    constexpr std::string_view crit = "c_crit";

    auto open = message("m_open", "u_elin", at(9, 2),
                        "Crit time for the call overlay. Goal for today: settle the participant "
                        "grid and how the floating call behaves, so it makes Thursday's build. "
                        "Be blunt.");
    react(open, "👍", {"u_ravi", "u_tove", "u_jonah"});
    post(doc, crit, open);

    auto concept_shot = message("m_concept", "u_elin", at(9, 6),
                                "Here's v3. Up to four people share a 2×2 grid; from the fifth "
                                "on it becomes a filmstrip with the active speaker promoted to "
                                "the big tile.");
    concept_shot.attachment =
        ImageAttachment{"call-overlay-v3.png", "vemo-demo://call-grid", 640, 360};
    react(concept_shot, "🔥", {"u_tove", "u_me"});
    react(concept_shot, "👀", {"u_jonah"});
    post(doc, crit, concept_shot);

    auto me1 = message("m_me1", "u_me", at(9, 14),
                       "Much calmer than v2. The filmstrip finally reads as part of the same "
                       "surface instead of a second panel bolted onto the side.");
    react(me1, "❤️", {"u_elin"});
    post(doc, crit, me1);

    auto ravi = message("m_ravi", "u_ravi", at(9, 21),
                        "Should the chips show a mic-level ring when someone's talking?");
    post(doc, crit, ravi);

    auto ring = message(new_id("m_"), "u_elin", at(9, 24),
                        "Yeah — a thin accent ring that pulses. I'll spec the motion token.");
    ring.parent = "m_ravi";
    post(doc, crit, ring);

    auto legible = message(new_id("m_"), "u_ravi", at(9, 27),
                           "Perfect, that keeps the audio-only state legible.");
    legible.parent = "m_ravi";
    react(legible, "👍", {"u_elin"});
    post(doc, crit, legible);

    auto jonah = message("m_jonah", "u_jonah", at(9, 38),
                         "Engineering note: promoting a tile re-lays out the whole grid, so the "
                         "motion has to be interruptible. Right now two people starting to talk "
                         "within ~200 ms makes the tiles jitter back and forth.");
    react(jonah, "👀", {"u_elin", "u_tove"});
    post(doc, crit, jonah);

    auto notes = message(new_id("m_"), "u_jonah", at(9, 45),
                         "Dropping the transport notes here so they don't get lost.");
    notes.attachment = FileAttachment{"moq-over-iroh.md", "demo:moq-over-iroh", 12288};
    post(doc, crit, notes);

    auto clip = message("m_clip", "u_tove", at(10, 20),
                        "Screen recording of the tile-promotion motion — this is the feel I'm "
                        "after:");
    clip.attachment =
        VideoAttachment{"tile-promotion.webm", "demo:tile-promotion", 1280, 720, 3407872};
    react(clip, "🚀", {"u_elin", "u_me", "u_ravi"});
    post(doc, crit, clip);

    // The mention sits at the very start so its span is the same in bytes and characters.
    auto tove = message("m_tove", "u_tove", at(10, 26),
                        "@Jonah Pike the promoted tile eases in over 180 ms and the others slide "
                        "instead of fading. If a second speaker starts mid-motion we retarget "
                        "the running animation, so there's nothing left to jitter.");
    tove.mentions.push_back(Mention{"u_jonah", 0, 11, false});
    react(tove, "👍", {"u_jonah", "u_elin"});
    post(doc, crit, tove);

    auto share = message(new_id("m_"), "u_jonah", at(11, 5),
                         "Wired screen sharing into the overlay: the shared screen takes the big "
                         "tile and the presenter drops into the filmstrip. Branch is up if you "
                         "want to try it.");
    share.edited = true;
    share.history.push_back(HistoryEntry{at(11, 12),
                                         "Wired screen sharing into the overlay: the shared screen "
                                         "takes the big tile. Presenter placement still TBD."});
    react(share, "🎉", {"u_elin", "u_tove", "u_me"});
    post(doc, crit, share);

    auto me2 = message(new_id("m_"), "u_me", at(11, 48),
                       "Pulled Jonah's branch with Tove's timing on top. Going from speaker to "
                       "screen share and back doesn't jump anymore — this feels ready to me.");
    react(me2, "❤️", {"u_jonah", "u_tove"});
    post(doc, crit, me2);

    // The local person's last word is the one the edit and message-menu pictures open.
    auto huddle_call_msg =
        message("m_me2", "u_me", at(12, 2),
                "That's the one. Starting a huddle to walk through the grid — jump in.");
    post(doc, crit, huddle_call_msg);
}

}  // namespace

bool home_seed(AutoCommit& doc, LocalPerson const& local) {
    if (!claim_seed(doc)) return false;
    write_person(doc, local.id, local.name, local.initials, local.color_idx,
                 presence_word(local.presence));
    write_workspace(doc, "ws_home", "My Workspace", "MW", 0, 0);
    write_category(doc, "cat_home_text", "ws_home", "Channels", 0, false);
    write_category(doc, "cat_home_voice", "ws_home", "Voice", 1, false);
    write_channel(doc, "c_general", "ws_home", "cat_home_text", "general", "", text, 0);
    write_channel(doc, "c_lounge", "ws_home", "cat_home_voice", "Lounge", "", voice, 0);
    return true;
}

bool demo_seed(AutoCommit& doc) {
    if (!claim_seed(doc)) return false;
    for (auto const& p : demo_people)
        write_person(doc, p.id, p.name, p.initials, p.color_idx, p.status);
    for (auto const& w : demo_workspaces)
        write_workspace(doc, w.id, w.name, w.glyph, w.color_idx, w.order);
    for (auto const& c : demo_categories)
        write_category(doc, c.id, c.workspace, c.name, c.order, false);
    for (auto const& rows :
         {std::span<ChannelRow const>(acme_channels), std::span<ChannelRow const>(other_channels)})
        for (auto const& c : rows)
            write_channel(doc, c.id, c.workspace, c.category, c.name, c.topic, c.kind, c.order);
    for (auto const& row : huddle_call) join_call(doc, huddle, row.person);
    for (auto const& row : huddle_call)
        set_voice_flags(doc, huddle, row.person, row.talking, row.muted, row.deafened,
                        row.audio_only);
    write_general(doc);
    write_crit(doc);
    return true;
}

bool update_local_person(AutoCommit& doc, LocalPerson const& local) {
    return update_person(doc, local.id, local.name, local.initials, local.color_idx,
                         presence_word(local.presence));
}

void seed_for_frame(AutoCommit& doc, bool interactive, bool use_home_seed,
                    LocalPerson const& local) {
    if (interactive) {
        home_seed(doc, local);
        update_local_person(doc, local);
    } else if (use_home_seed) {
        home_seed(doc, local);
    } else {
        demo_seed(doc);
    }
}

}  // namespace chat::doc
