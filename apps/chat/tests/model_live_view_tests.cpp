#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "actions/apply.hpp"
#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "model/live_view.hpp"

// The incremental refresh against a full rebuild: random runs of chat actions, written
// locally or by a peer and merged, with the selection moving around and fields of the wrong
// kind written now and then, must leave the live model equal to one read from scratch after
// every step, and the messages of both equal to what the generic value reads give.
namespace chat::model {
namespace {

using automerge::ObjType;
using automerge::Prop;
using automerge::ScalarValue;
using doc::ObjId;

constexpr char const* people[] = {"u_me", "u_elin", "u_ravi", "u_tove", "u_nadia"};
constexpr char const* emoji[] = {"👍", "🔥", "🎉"};

class Actor {
  public:
    explicit Actor(uint32_t seed) : m_rng(seed) {}

    size_t below(size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(m_rng);
    }
    bool chance(int percent) { return int(below(100)) < percent; }
    template <class List, class T = typename List::value_type>
    T const* pick(List const& items) {
        return items.empty() ? nullptr : &items[below(items.size())];
    }
    char const* person() { return people[below(std::size(people))]; }
    std::string fresh_id(char const* prefix) { return prefix + std::to_string(m_next++); }

    // One random write to `doc`, chosen against what `doc` holds now.
    void write(AutoCommit& doc) {
        Navigation nav;
        auto vm = refresh(doc, nav);
        auto const* channel = pick(vm.channels);
        auto const* message = pick(vm.all_messages);
        auto const* category = pick(vm.categories);
        auto const* workspace = pick(vm.workspaces);
        switch (below(18)) {
            case 0:
            case 1:
            case 2:
                if (channel) send(doc, channel->id, vm);
                break;
            case 3:
                if (message)
                    apply_action(doc, action::EditMessage{message->channel, message->id,
                                                          "edited " + fresh_id(""), 2000});
                break;
            case 4:
                if (message)
                    apply_action(doc, action::DeleteMessage{message->channel, message->id});
                break;
            case 5:
            case 6:
                if (message)
                    apply_action(doc, action::AddReaction{message->channel, message->id,
                                                          emoji[below(3)], person()});
                break;
            case 7:
                if (message && !message->reactions.empty()) {
                    auto const& group = message->reactions[below(message->reactions.size())];
                    apply_action(doc, action::RemoveReaction{message->channel, message->id,
                                                             group.emoji, *pick(group.users)});
                }
                break;
            case 8:
                if (message)
                    apply_action(doc,
                                 action::PinMessage{message->channel, message->id, chance(70)});
                break;
            case 9:
                if (category)
                    apply_action(doc, action::CreateChannel{
                                          category->workspace, category->id, fresh_id("c_new"),
                                          fresh_id("new-"),
                                          chance(20) ? ChannelKind::Voice : ChannelKind::Text});
                break;
            case 10:
                if (channel) {
                    switch (below(4)) {
                        case 0:
                            apply_action(doc, action::RenameChannel{channel->id, fresh_id("r-")});
                            break;
                        case 1:
                            apply_action(doc, action::ArchiveChannel{channel->id, chance(50)});
                            break;
                        case 2:
                            apply_action(doc, action::ReorderChannel{channel->id, chance(50)});
                            break;
                        default:
                            if (chance(30)) apply_action(doc, action::DeleteChannel{channel->id});
                    }
                }
                break;
            case 11:
                if (channel)
                    apply_action(doc, action::MarkRead{channel->id, "u_me", int64_t(below(15))});
                break;
            case 12:
                if (channel) apply_action(doc, action::JoinCall{channel->id, person()});
                break;
            case 13:
                if (channel) doc::set_draft(doc, channel->id, fresh_id("draft "));
                break;
            case 14:
                if (workspace && chance(50))
                    doc::write_workspace(doc, workspace->id, fresh_id("W"), "W", 1,
                                         int64_t(below(4)));
                else
                    doc::write_person(doc, person(), fresh_id("Name "), "N", 2, "idle");
                break;
            case 15:
                if (workspace)
                    apply_action(doc, action::CreateCategory{workspace->id, fresh_id("cat_"),
                                                             fresh_id("Cat ")});
                break;
            case 16:
                if (message) scramble(doc, message->id);
                break;
            default:
                // An element that is not a message, as a newer or broken peer might write.
                if (channel && chance(20)) {
                    auto messages = doc::get_map(doc, ObjId::root(), doc::messages_key);
                    auto list =
                        messages ? doc::get_list(doc, *messages, channel->id) : std::nullopt;
                    if (list)
                        (void)doc.insert(*list, below(doc::length(doc, *list) + 1), int64_t(7));
                }
        }
    }

    // A field of a message given a value of another kind, as a newer or broken peer might.
    void scramble(AutoCommit& doc, std::string const& id) {
        static char const* const fields[] = {"ts",       "parent",    "edited",    "text",
                                             "author",   "pinned",    "history",   "reactions",
                                             "mentions", "reference", "attachment"};
        auto at = doc::find_message(doc, id);
        if (!at) return;
        std::string key = fields[below(std::size(fields))];
        doc.ensure_transaction_open();
        switch (below(7)) {
            case 0:
                (void)doc.put(at->map, key, ScalarValue{(uint64_t(1) << 63) + below(9)});
                break;
            case 1:
                (void)doc.put(at->map, key, ScalarValue{chance(50) ? -12.75 : std::nan("")});
                break;
            case 2:
                (void)doc.put(at->map, key, ScalarValue{automerge::Counter{5}});
                (void)doc.increment(at->map, key, 3);
                break;
            case 3:
                (void)doc.put(at->map, key, ScalarValue{automerge::Timestamp{1700000000123}});
                break;
            case 4:
                (void)doc.put(at->map, key, ScalarValue{std::string("odd")});
                break;
            default:
                (void)doc.put_object(at->map, key, chance(50) ? ObjType::Map : ObjType::List);
        }
    }

    void send(AutoCommit& doc, std::string const& channel, ViewModel const& vm) {
        action::SendMessage m{channel,
                              fresh_id("m_rand"),
                              person(),
                              int64_t(1000 + m_next),
                              "hello " + fresh_id(""),
                              {},
                              {},
                              {},
                              {}};
        if (chance(30)) {
            for (auto const& other : vm.all_messages)
                if (other.channel == channel && !other.parent) m.parent = other.id;
        }
        if (chance(20)) m.mentions = {{person(), 0, 5, false}};
        apply_action(doc, m);
    }

    // The selection moves as a person clicking around would move it.
    void move(Navigation& nav, ViewModel const& vm) {
        if (chance(70)) return;
        if (auto const* c = pick(vm.channels)) {
            nav.workspace_id = c->workspace;
            nav.channel_id = c->id;
        }
        nav.thread_root.reset();
        if (chance(30))
            if (auto const* m = pick(vm.messages)) nav.thread_root = m->id;
        nav.edit_text = chance(10) ? std::optional<std::string>("typing") : std::nullopt;
    }

  private:
    std::mt19937 m_rng;
    int m_next = 0;
};

// The messages as AutoCommit::get sees them, one copied value at a time, with the reading
// rules of the chat document. The view model reads them through object handles instead.
class GenericReader {
  public:
    explicit GenericReader(AutoCommit& doc) : m_doc(doc) {}

    std::vector<Message> channel(std::string const& channel) {
        std::vector<Message> out;
        auto messages = object(ObjId::root(), std::string(doc::messages_key), ObjType::Map);
        auto list = messages ? object(*messages, channel, ObjType::List) : std::nullopt;
        if (!list) return out;
        for (auto const& map : maps(*list)) out.push_back(message(map, channel));
        return out;
    }

  private:
    using Got = std::optional<std::pair<automerge::Value, ObjId>>;

    Got get(ObjId const& obj, Prop prop) {
        auto got = m_doc.get(obj, prop);
        return got ? *got : Got{};
    }
    std::optional<ObjId> object(ObjId const& obj, Prop prop, ObjType type) {
        auto got = get(obj, std::move(prop));
        auto const* kind = got ? std::get_if<ObjType>(&got->first) : nullptr;
        if (!kind || *kind != type) return std::nullopt;
        return got->second;
    }
    ScalarValue scalar(ObjId const& obj, std::string const& key) {
        auto got = get(obj, key);
        auto const* value = got ? std::get_if<ScalarValue>(&got->first) : nullptr;
        return value ? *value : ScalarValue{};
    }
    std::optional<std::string> str(ObjId const& obj, std::string const& key) {
        auto value = scalar(obj, key);
        auto const* s = std::get_if<std::string>(&value);
        return s ? std::optional(*s) : std::nullopt;
    }
    int64_t num(ObjId const& obj, std::string const& key) {
        auto value = scalar(obj, key);
        if (auto const* i = std::get_if<int64_t>(&value)) return *i;
        if (auto const* u = std::get_if<uint64_t>(&value)) return int64_t(*u);
        if (auto const* d = std::get_if<double>(&value)) return std::isnan(*d) ? 0 : int64_t(*d);
        if (auto const* c = std::get_if<automerge::Counter>(&value)) return c->value;
        if (auto const* t = std::get_if<automerge::Timestamp>(&value)) return t->millis;
        return 0;
    }
    bool flag(ObjId const& obj, std::string const& key) {
        auto value = scalar(obj, key);
        auto const* b = std::get_if<bool>(&value);
        return b && *b;
    }
    std::vector<ObjId> maps(ObjId const& list) {
        std::vector<ObjId> out;
        for (size_t i = 0, n = m_doc.length(list); i < n; ++i)
            if (auto map = object(list, i, ObjType::Map)) out.push_back(*map);
        return out;
    }

    Message message(ObjId const& map, std::string const& channel) {
        Message m;
        m.id = str(map, "id").value_or("");
        m.channel = channel;
        m.author = str(map, "author").value_or("");
        if (auto text = object(map, "text", ObjType::Text)) m.text = *m_doc.text(*text);
        m.ts = num(map, "ts");
        if (auto parent = str(map, "parent"); parent && !parent->empty()) m.parent = parent;
        m.edited = flag(map, "edited");
        if (auto list = object(map, "history", ObjType::List))
            for (auto const& entry : maps(*list))
                m.history.push_back({num(entry, "ts"), str(entry, "text").value_or("")});
        if (auto list = object(map, "reactions", ObjType::List)) {
            for (auto const& entry : maps(*list)) {
                auto emoji = str(entry, "emoji").value_or("");
                auto user = str(entry, "user").value_or("");
                if (emoji.empty() || user.empty()) continue;
                auto group = std::ranges::find(m.reactions, emoji, &ReactionGroup::emoji);
                if (group == m.reactions.end())
                    m.reactions.push_back({emoji, {user}});
                else if (std::ranges::find(group->users, user) == group->users.end())
                    group->users.push_back(user);
            }
        }
        if (auto list = object(map, "mentions", ObjType::List))
            for (auto const& entry : maps(*list))
                m.mentions.push_back({str(entry, "user").value_or(""),
                                      uint64_t(num(entry, "start")), uint64_t(num(entry, "len")),
                                      flag(entry, "agent")});
        if (auto reference = str(map, "reference"))
            m.reference = resource_ref_from_json_text(*reference);
        if (auto a = object(map, "attachment", ObjType::Map)) {
            auto kind = str(*a, "kind").value_or("");
            auto name = str(*a, "name").value_or("");
            auto blob = str(*a, "blob").value_or("");
            if (blob.empty()) blob = str(*a, "path").value_or("");
            auto w = uint32_t(num(*a, "w")), h = uint32_t(num(*a, "h"));
            auto size = uint64_t(num(*a, "size"));
            if (kind == "image")
                m.attachment = ImageAttachment{name, blob, w, h};
            else if (kind == "video")
                m.attachment = VideoAttachment{name, blob, w, h, size};
            else
                m.attachment = FileAttachment{name, blob, size};
        }
        m.pinned = flag(map, "pinned");
        m.work = doc::read_work(m_doc, map);
        return m;
    }

    AutoCommit& m_doc;
};

void expect_same_as_generic_reads(AutoCommit& doc, ViewModel const& vm) {
    GenericReader generic(doc);
    std::vector<Message> all;
    for (auto const& channel : vm.channels) {
        auto messages = generic.channel(channel.id);
        all.insert(all.end(), messages.begin(), messages.end());
    }
    ASSERT_EQ(vm.all_messages.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(vm.all_messages[i], all[i]) << all[i].id;
}

// Run i of all_messages holds channel i's messages and nothing else.
void expect_one_run_per_channel(ViewModel const& vm) {
    ASSERT_EQ(vm.all_messages.run_count(), vm.channels.size());
    for (size_t i = 0; i < vm.channels.size(); ++i)
        for (auto const& m : vm.all_messages.run(i)) ASSERT_EQ(m.channel, vm.channels[i].id);
}

void expect_same_selection(Navigation const& a, Navigation const& b) {
    EXPECT_EQ(a.workspace_id, b.workspace_id);
    EXPECT_EQ(a.remembered_workspace_id, b.remembered_workspace_id);
    EXPECT_EQ(a.channel_id, b.channel_id);
}

class LiveViewRandom : public testing::TestWithParam<uint32_t> {};

TEST_P(LiveViewRandom, EqualsAFullRebuildAfterEveryStep) {
    Actor actor(GetParam());
    AutoCommit doc;
    doc::demo_seed(doc);
    doc.commit();
    AutoCommit peer = doc.fork();
    Navigation nav;
    nav.local = doc::LocalPerson{"u_me", "You", "YU", 0, Presence::Online};
    LiveView live;
    for (int step = 0; step < 250; ++step) {
        if (actor.chance(25)) {
            // A peer wrote a few changes of its own; they arrive in one merge.
            for (size_t k = actor.below(3) + 1; k > 0; --k) {
                actor.write(peer);
                peer.commit();
            }
            ASSERT_TRUE(doc.merge(peer));
            if (actor.chance(50)) {
                ASSERT_TRUE(peer.merge(doc));
            }
        } else {
            actor.write(doc);
        }
        Navigation full_nav = nav;
        live.refresh(doc, nav);
        auto full = refresh(doc, full_nav);
        expect_same_selection(nav, full_nav);
        ASSERT_EQ(live.view(), full) << "step " << step;
        expect_one_run_per_channel(live.view());
        if (step % 10 == 0) expect_same_as_generic_reads(doc, full);
        actor.move(nav, full);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LiveViewRandom, testing::Values(1u, 2u, 3u, 4u));

TEST(LiveView, ReadsEverythingAgainForAnotherDocumentAndAfterAReset) {
    AutoCommit a, b;
    doc::demo_seed(a);
    Navigation nav;
    LiveView live;
    live.refresh(a, nav);
    EXPECT_TRUE(live.last_change().everything);
    apply_action(a, action::AddReaction{"c_crit", "m_ravi", "👍", "u_me"});
    live.refresh(a, nav);
    EXPECT_FALSE(live.last_change().everything);
    EXPECT_EQ(live.last_change().channels, (std::set<std::string, std::less<>>{"c_crit"}));
    EXPECT_FALSE(live.last_change().lists);

    live.refresh(b, nav);
    EXPECT_TRUE(live.last_change().everything);
    EXPECT_TRUE(live.view().channels.empty());
    live.reset();
    live.refresh(b, nav);
    EXPECT_TRUE(live.last_change().everything);
}

// Handles belong to one document instance: another one put in the same place, even with the
// same history, is read from scratch without a reset; the same instance moved elsewhere is not.
TEST(LiveView, ReadsAnotherInstanceAtTheSameAddressFromScratch) {
    struct Case {
        char const* name;
        std::function<void(AutoCommit&)> replace;
        bool everything;
    };
    std::vector<Case> const cases = {
        {"loaded from its own bytes", [](AutoCommit& d) { d = *AutoCommit::load(d.save()); }, true},
        {"a fork", [](AutoCommit& d) { d = d.fork(); }, true},
        {"another document", [](AutoCommit& d) { d = AutoCommit(); }, true},
        {"moved out and back",
         [](AutoCommit& d) {
             AutoCommit elsewhere = std::move(d);
             d = std::move(elsewhere);
         },
         false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        AutoCommit doc;
        doc::demo_seed(doc);
        doc.commit();
        Navigation nav;
        nav.local = doc::LocalPerson{"u_me", "You", "YU", 0, Presence::Online};
        LiveView live;
        live.refresh(doc, nav);
        c.replace(doc);
        apply_action(doc, action::SendMessage{
                              "c_crit", "m_after", "u_me", 1782600000, "after", {}, {}, {}, {}});
        apply_action(doc, action::AddReaction{"c_crit", "m_ravi", "👍", "u_me"});
        Navigation full_nav = nav;
        live.refresh(doc, nav);
        EXPECT_EQ(live.last_change().everything, c.everything);
        EXPECT_EQ(live.view(), refresh(doc, full_nav));
        expect_one_run_per_channel(live.view());
    }
}

// A long history is read on two threads, each taking stretches of the lists in turn:
// channels of very different lengths, one with elements that are not messages, must come out
// whole, in channel order, each message as the generic reads give it, with the sidebar's
// counts and the people list as one reader would make them.
TEST(LiveView, ReadsALongHistoryOnTwoThreadsAsOne) {
    AutoCommit doc;
    doc::demo_seed(doc);
    doc.commit();
    Navigation probe;
    auto const channels = refresh(doc, probe).channels;
    ASSERT_GE(channels.size(), 3u);
    AutoCommit before = doc.fork();
    // Each channel written by its own peer, as a team writes them: inserting checks ids
    // against the whole document.
    size_t written = 0;
    for (size_t c = 0; c < channels.size(); ++c) {
        if (channels[c].kind != ChannelKind::Text) continue;
        AutoCommit peer = doc.fork();
        size_t const count = c == 0 ? 900 : 100 + 10 * c;
        std::string root;
        for (size_t i = 0; i < count; ++i) {
            Message m;
            m.id = "m_long_" + std::to_string(c) + "_" + std::to_string(i);
            m.author = people[i % std::size(people)];
            m.ts = 1782500000 + int64_t(i);
            m.text = "Message " + std::to_string(i) + " of a long history";
            if (i % 4 == 3 && !root.empty()) m.parent = root;
            if (i % 3 == 0)
                m.reactions = {{emoji[i % 3], {people[(i + 1) % 5], people[(i + 2) % 5]}}};
            if (i % 7 == 0) m.mentions = {{people[(i + 3) % 5], 0, 7, false}};
            ASSERT_TRUE(doc::insert_message(peer, channels[c].id, m));
            if (!m.parent) root = m.id;
        }
        if (c == 0) {
            // Each shifts every later message's place in the list, across stretches.
            auto lists = doc::get_map(peer, ObjId::root(), doc::messages_key);
            auto list = doc::get_list(peer, *lists, channels[c].id);
            for (size_t at = 0; at < count; at += 90)
                ASSERT_TRUE(peer.insert(*list, at, ScalarValue{std::string("not a message")}));
        }
        peer.commit();
        ASSERT_TRUE(doc.merge(peer));
        written += count;
    }
    ASSERT_GE(written, 2000u);
    Navigation nav;
    nav.local = doc::LocalPerson{"u_me", "You", "YU", 0, Presence::Online};
    LiveView live;
    auto const& vm = live.refresh(doc, nav);
    expect_one_run_per_channel(vm);
    expect_same_as_generic_reads(doc, vm);
    // The same history arriving in one merge into a model read before it takes the
    // incremental path, one message at a time, and must end with the same counts and people.
    Navigation grown_nav = nav;
    LiveView grown;
    grown.refresh(before, grown_nav);
    ASSERT_TRUE(before.merge(doc));
    auto const& incremental = grown.refresh(before, grown_nav);
    EXPECT_FALSE(grown.last_change().everything);
    EXPECT_EQ(incremental.channels, vm.channels);
    EXPECT_EQ(incremental.people, vm.people);
    EXPECT_EQ(incremental.all_messages, vm.all_messages);
}

}  // namespace
}  // namespace chat::model
