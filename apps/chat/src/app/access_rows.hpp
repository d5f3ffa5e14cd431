#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/records.hpp"
#include "vemo_ui/a11y.hpp"

namespace chat {

// Row ids: the message's id after the list's prefix.
inline constexpr char const* message_row_prefix = "message:";
inline constexpr char const* thread_row_prefix = "thread-message:";

// What every row's label and actions read besides its message: who is called what, who the
// local person is and whether they may write.
struct RowContext {
    std::vector<Person> const& directory;
    std::string_view self;
    bool can_write = false;
};

// "Elin, 10:42: the text, edited, pinned, 👍 2 reactions, 3 replies": a message row as a
// screen reader reads it.
std::string row_label(Message const& m, std::string_view author, size_t replies);

// The screen-reader rows of one message list, kept from one tree build to the next. Every
// loaded message is a row, so a long history is thousands of labels. A row whose message,
// reply count and context are as in the build before keeps its label, actions and content
// stamp instead of being made again; when every row is also where it was, with the same
// states, the build hands over the very list it made before, which costs neither copies nor
// string compares when the window compares it with the tree it offered.
class AccessRows {
  public:
    explicit AccessRows(std::string id_prefix) : m_prefix(std::move(id_prefix)) {}

    // Starts a build. A changed context makes every row again.
    void begin(RowContext const& context);
    // Adds the row of `m`, with `replies` replies, drawn at `rect` (empty when out of view).
    void add(Message const& m, size_t replies, vemo_ui::Rect rect, vemo_ui::a11y::States states);
    // Ends the build: the rows added, in order.
    vemo_ui::a11y::NodeList end();

    size_t size() const { return m_list.size(); }
    // Rows made (not kept) since this list was created.
    uint64_t made() const { return m_made; }

  private:
    // What a row was made of, compared field by field with the message of the next build.
    struct Recipe {
        std::string author;
        std::string text;
        int64_t ts = 0;
        std::vector<Mention> mentions;
        std::vector<std::pair<std::string, size_t>> reactions;  // emoji, how many
        size_t replies = 0;
        bool edited = false;
        bool pinned = false;
        bool taken = false;  // handed to the next build's list

        bool matches(Message const& m, size_t replies) const;
        static Recipe of(Message const& m, size_t replies);
    };
    vemo_ui::a11y::AccessNode make(Message const& m, size_t replies);
    // Where the row of this message was in the last build, if it was.
    std::optional<size_t> previous(std::string_view message);
    // The rows so far differ from the last build's: copies those before `count` over.
    void diverge(size_t count);

    std::string m_prefix;
    // The last build: its rows, and what each was made of.
    vemo_ui::a11y::NodeList m_list;
    std::vector<Recipe> m_recipes;
    // The context the rows were made in: who is called what, by id.
    std::vector<std::pair<std::string, std::string>> m_names;
    std::string m_self;
    bool m_can_write = false;
    uint64_t m_made = 0;

    // The build under way.
    std::vector<Person> const* m_directory = nullptr;
    size_t m_added = 0;
    bool m_same = true;   // every row so far is the last build's row at the same place
    size_t m_cursor = 0;  // where the next row most likely was
    std::unordered_map<std::string_view, size_t> m_index;  // the last build's rows by message
    std::vector<vemo_ui::a11y::AccessNode> m_next;
    std::vector<Recipe> m_next_recipes;
};

}  // namespace chat
