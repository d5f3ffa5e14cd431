// Text normalisation shared by indexing, querying and highlighting, on GLib's Unicode tables.
#include <glib.h>

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "vemo_ui/search/provider.hpp"

namespace vemo_ui::search::provider {

namespace {

struct GFreeDeleter {
    void operator()(gchar* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<gchar, GFreeDeleter>;

bool is_mark(gunichar c) {
    auto type = g_unichar_type(c);
    return type == G_UNICODE_NON_SPACING_MARK || type == G_UNICODE_ENCLOSING_MARK;
}

bool is_word_char(gunichar c) {
    return g_unichar_isalnum(c) || g_unichar_type(c) == G_UNICODE_SPACING_MARK ||
           g_unichar_type(c) == G_UNICODE_PRIVATE_USE;
}

// Decomposes, drops the accents and other non-spacing marks, folds case and composes again.
std::string fold(char const* valid, gssize length) {
    GString_ decomposed(g_utf8_normalize(valid, length, G_NORMALIZE_NFKD));
    if (!decomposed) return {};
    std::string bare;
    for (char const* p = decomposed.get(); *p; p = g_utf8_next_char(p)) {
        gunichar c = g_utf8_get_char(p);
        if (is_mark(c)) continue;
        if (g_unichar_isspace(c) || g_unichar_iscntrl(c)) c = ' ';
        char buf[6];
        bare.append(buf, size_t(g_unichar_to_utf8(c, buf)));
    }
    GString_ folded(g_utf8_casefold(bare.data(), gssize(bare.size())));
    GString_ composed(g_utf8_normalize(folded.get(), -1, G_NORMALIZE_NFKC));
    return composed ? std::string(composed.get()) : std::string();
}

std::string valid_utf8(std::string_view text) {
    if (g_utf8_validate(text.data(), gssize(text.size()), nullptr)) return std::string(text);
    GString_ repaired(g_utf8_make_valid(text.data(), gssize(text.size())));
    return repaired.get();
}

// The normalised text of `text` one character at a time, with the original byte range of
// the character each normalised byte came from.
struct MappedText {
    std::string normalized;
    std::vector<std::pair<size_t, size_t>> origin;  // per normalised byte
};

MappedText map_normalized(std::string_view text) {
    MappedText out;
    if (!g_utf8_validate(text.data(), gssize(text.size()), nullptr)) return out;
    char const* begin = text.data();
    char const* end = begin + text.size();
    for (char const* p = begin; p < end; p = g_utf8_next_char(p)) {
        char const* next = g_utf8_next_char(p);
        std::string piece = fold(p, next - p);
        std::pair<size_t, size_t> range{size_t(p - begin), size_t(next - begin)};
        out.normalized += piece;
        out.origin.insert(out.origin.end(), piece.size(), range);
    }
    return out;
}

}  // namespace

std::string normalize_search_text(std::string_view text) {
    std::string valid = valid_utf8(text);
    std::string folded = fold(valid.data(), gssize(valid.size()));
    // One space between words, none at the ends.
    std::string out;
    out.reserve(folded.size());
    for (char c : folded) {
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out.push_back(c);
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::vector<std::string> index_tokens(std::string_view normalized) {
    std::vector<std::string> tokens;
    std::string word;
    std::string valid = valid_utf8(normalized);
    for (char const* p = valid.c_str(); *p; p = g_utf8_next_char(p)) {
        gunichar c = g_utf8_get_char(p);
        if (is_word_char(c) || (is_mark(c) && !word.empty())) {
            word.append(p, size_t(g_utf8_next_char(p) - p));
        } else if (!word.empty()) {
            tokens.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) tokens.push_back(std::move(word));
    return tokens;
}

std::vector<std::string> index_grams(std::string_view normalized) {
    std::string valid = valid_utf8(normalized);
    std::vector<size_t> starts;
    for (char const* p = valid.c_str(); *p; p = g_utf8_next_char(p))
        starts.push_back(size_t(p - valid.c_str()));
    starts.push_back(valid.size());
    std::vector<std::string> grams;
    std::unordered_set<std::string> seen;
    for (size_t i = 0; i + 3 < starts.size(); ++i) {
        std::string gram = valid.substr(starts[i], starts[i + 3] - starts[i]);
        if (seen.insert(gram).second) grams.push_back(std::move(gram));
    }
    return grams;
}

std::vector<std::pair<size_t, size_t>> match_ranges(std::string_view text, std::string_view query) {
    auto words = index_tokens(normalize_search_text(query));
    if (words.empty()) return {};
    MappedText mapped = map_normalized(text);
    auto const& hay = mapped.normalized;
    std::vector<std::pair<size_t, size_t>> ranges;
    for (auto const& word : words) {
        bool whole_words_only = g_utf8_strlen(word.data(), gssize(word.size())) < 3;
        for (size_t at = hay.find(word); at != std::string::npos; at = hay.find(word, at + 1)) {
            if (whole_words_only && at > 0) {
                char const* prev = g_utf8_find_prev_char(hay.data(), hay.data() + at);
                if (prev && is_word_char(g_utf8_get_char(prev))) continue;
            }
            ranges.emplace_back(mapped.origin[at].first,
                                mapped.origin[at + word.size() - 1].second);
        }
    }
    std::ranges::sort(ranges);
    std::vector<std::pair<size_t, size_t>> merged;
    for (auto const& r : ranges) {
        if (!merged.empty() && r.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    return merged;
}

}  // namespace vemo_ui::search::provider
