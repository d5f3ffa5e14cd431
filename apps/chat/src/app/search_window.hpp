#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vemo_ui/a11y.hpp"
#include "vemo_ui/geometry.hpp"
#include "vemo_ui/search/provider.hpp"
#include "vemo_ui/text_input.hpp"

namespace chat {

// One result as the search window shows it, with the byte ranges of its title and subtitle
// that the query matched.
struct SearchHit {
    vemo_ui::search::provider::SearchResult result;
    std::vector<std::pair<size_t, size_t>> title_marks;
    std::vector<std::pair<size_t, size_t>> subtitle_marks;
};

struct SearchGroup {
    std::string collection;
    std::vector<SearchHit> hits;
    size_t page_size = 0;
    // Where the collection's next page starts; none once every match is shown.
    std::optional<vemo_ui::search::provider::SearchCursor> next;
};

// The search window's state: the query, the results grouped by collection and which one is
// selected. Ctrl+K searches everything, Ctrl+F the open conversation's messages.
class SearchWindow {
  public:
    SearchWindow();

    bool is_open() const { return m_open; }
    // `scope`: the conversation to search within; none for everything.
    void open(std::optional<std::string> scope, std::string scope_label);
    void close();
    std::optional<std::string> const& scope() const { return m_scope; }
    std::string const& scope_label() const { return m_scope_label; }
    vemo_ui::TextInput& input() { return m_input; }
    vemo_ui::TextInput const& input() const { return m_input; }

    // Asks the provider again when the text changed or the catalog moved on since. `now`
    // (seconds on a steady clock; the current time when not given) paces the repeats while
    // the catalog is still being built.
    void refresh(vemo_ui::search::provider::SearchProvider const& provider,
                 std::optional<double> now = std::nullopt);
    // Whether the open window's results lag behind a catalog that was written since: while
    // it is being built, once a refresh interval has passed; once more when it is done.
    bool behind(vemo_ui::search::provider::SearchProvider const& provider,
                std::optional<double> now = std::nullopt) const;
    void mark_stale() { m_stale = true; }
    std::vector<SearchGroup> const& groups() const { return m_groups; }
    size_t result_count() const;
    SearchHit const* hit(size_t flat_index) const;
    std::optional<size_t> selected() const { return m_selected; }
    void move_selection(int delta);
    void select(size_t flat_index);
    bool indexing() const { return m_indexing; }

    // Appends the group's next page; answers whether it added anything. Down past the last
    // result of the last group and Page Down (into the selected result's group) do it too.
    bool show_more(vemo_ui::search::provider::SearchProvider const& provider, size_t group);
    // The group of the result at `flat_index`.
    std::optional<size_t> group_of(size_t flat_index) const;
    double scroll() const { return m_scroll; }
    void scroll_by(double dy);
    // Keeps the list inside [0, content - visible] and the selection in view.
    void place_scroll(double content_height, double visible_height, double selected_top,
                      double selected_bottom);

    // Where the last draw put things, for pointer input and the accessibility tree. A row
    // with `more_of` is a group's "Show more" line rather than a result.
    struct RowBox {
        vemo_ui::Rect rect;
        size_t index = 0;
        std::optional<size_t> more_of;
    };
    vemo_ui::Rect panel;
    vemo_ui::Rect field;
    vemo_ui::Rect sidebar_field;  // the sidebar's search field, drawn while closed too
    std::vector<RowBox> rows;

    // The open search as a dialog (closed, its opener is one of the window's controls).
    vemo_ui::a11y::AccessNode accessibility() const;

  private:
    bool m_open = false;
    bool m_stale = true;
    bool m_indexing = false;
    uint64_t m_generation = 0;  // of the catalog the results came from
    double m_asked_at = 0;
    std::optional<std::string> m_scope;
    std::string m_scope_label;
    std::string m_last_query;
    vemo_ui::TextInput m_input = vemo_ui::TextInput::local();
    std::vector<SearchGroup> m_groups;
    std::optional<size_t> m_selected;
    bool m_follow_selection = true;
    double m_scroll = 0;
};

// Semantic ids of the window's parts.
inline constexpr char const* search_field_id = "search-field";
inline constexpr char const* search_open_id = "search-open";
inline constexpr char const* search_result_prefix = "search-result:";
inline constexpr char const* search_more_prefix = "search-more:";

}  // namespace chat
