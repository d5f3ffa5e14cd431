#include "app/message_markup.hpp"

#include <md4c.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "app/text_links.hpp"

namespace chat::markup {

namespace {

constexpr unsigned parser_flags =
    MD_FLAG_NOHTML | MD_FLAG_STRIKETHROUGH | MD_FLAG_NOINDENTEDCODEBLOCKS;

// Reads md4c's callbacks into blocks. Text md4c hands over from inside the message keeps its
// byte offset there, so mentions and links found in the typed text land on the right runs.
class Builder {
  public:
    Builder(std::string_view source, std::vector<TextRange> const& mentions)
        : m_source(source), m_links(find_links(source)) {
        // Ranges from another device may not fit this text; what fits is kept.
        for (auto const& m : mentions)
            if (m.start < source.size() && m.length > 0)
                m_mentions.push_back({m.start, std::min(m.length, source.size() - m.start)});
    }

    std::vector<Block> take() {
        close_item();
        return std::move(m_blocks);
    }

    void enter_block(MD_BLOCKTYPE type, void* detail) {
        switch (type) {
            case MD_BLOCK_QUOTE:
                m_open = false;
                ++m_quote;
                break;
            case MD_BLOCK_UL:
                close_item();
                m_lists.push_back(0);
                break;
            case MD_BLOCK_OL:
                close_item();
                m_lists.push_back(static_cast<MD_BLOCK_OL_DETAIL*>(detail)->start);
                break;
            case MD_BLOCK_LI: {
                close_item();
                unsigned& next = m_lists.empty() ? m_unlisted : m_lists.back();
                m_marker = next == 0 ? "•" : std::to_string(next++) + ".";
                break;
            }
            case MD_BLOCK_HR:
                open_block(BlockKind::Rule);
                m_open = false;
                break;
            case MD_BLOCK_H:
                open_block(BlockKind::Paragraph);
                ++m_heading;
                break;
            case MD_BLOCK_CODE:
                open_block(BlockKind::CodeBlock);
                break;
            case MD_BLOCK_P:
                open_block(BlockKind::Paragraph);
                break;
            default:
                break;
        }
    }

    void leave_block(MD_BLOCKTYPE type) {
        switch (type) {
            case MD_BLOCK_QUOTE:
                m_open = false;
                --m_quote;
                break;
            case MD_BLOCK_UL:
            case MD_BLOCK_OL:
                close_item();
                if (!m_lists.empty()) m_lists.pop_back();
                break;
            case MD_BLOCK_LI:
                close_item();
                break;
            case MD_BLOCK_H:
                --m_heading;
                m_open = false;
                break;
            case MD_BLOCK_CODE:
                if (m_open && !m_blocks.back().runs.empty()) {
                    auto& text = m_blocks.back().runs.back().text;
                    if (text.ends_with('\n')) text.pop_back();
                }
                m_open = false;
                break;
            case MD_BLOCK_P:
                m_open = false;
                break;
            default:
                break;
        }
    }

    void enter_span(MD_SPANTYPE type, void* detail) {
        switch (type) {
            case MD_SPAN_EM:
                ++m_em;
                break;
            case MD_SPAN_STRONG:
                ++m_strong;
                break;
            case MD_SPAN_CODE:
                ++m_code;
                break;
            case MD_SPAN_DEL:
                ++m_strike;
                break;
            case MD_SPAN_A:
                m_hrefs.push_back(safe_link(attribute(static_cast<MD_SPAN_A_DETAIL*>(detail)->href))
                                      .value_or(""));
                break;
            default:
                break;
        }
    }

    void leave_span(MD_SPANTYPE type) {
        switch (type) {
            case MD_SPAN_EM:
                --m_em;
                break;
            case MD_SPAN_STRONG:
                --m_strong;
                break;
            case MD_SPAN_CODE:
                --m_code;
                break;
            case MD_SPAN_DEL:
                --m_strike;
                break;
            case MD_SPAN_A:
                if (!m_hrefs.empty()) m_hrefs.pop_back();
                break;
            default:
                break;
        }
    }

    void text(MD_TEXTTYPE type, char const* text, size_t size) {
        switch (type) {
            case MD_TEXT_NULLCHAR:
                append("\xEF\xBF\xBD", style(), href());
                break;
            case MD_TEXT_BR:
            case MD_TEXT_SOFTBR:
                append("\n", style(), href());
                break;
            case MD_TEXT_NORMAL:
                if (text >= m_source.data() && text + size <= m_source.data() + m_source.size()) {
                    append_source(size_t(text - m_source.data()), size);
                    break;
                }
                append({text, size}, style(), href());
                break;
            default:
                // Code, and entities as typed: "&amp;" reads "&amp;".
                append({text, size}, style(), href());
                break;
        }
    }

    // Source text outside any formatting, cut where mentions and links begin and end.
    void append_source(size_t at, size_t size) {
        size_t end = at + size;
        while (at < end) {
            size_t cut = end;
            uint8_t extra = Plain;
            std::string link = href();
            for (auto const& m : m_mentions) {
                size_t me = m.start + m.length;
                if (m.start <= at && at < me)
                    extra = Mention, cut = std::min(cut, me);
                else if (m.start > at)
                    cut = std::min(cut, m.start);
            }
            for (auto const& l : m_links) {
                if (l.begin <= at && at < l.end) {
                    if (link.empty()) link = l.target;
                    cut = std::min(cut, l.end);
                } else if (l.begin > at) {
                    cut = std::min(cut, l.begin);
                }
            }
            append(m_source.substr(at, cut - at), uint8_t(style() | extra), link);
            at = cut;
        }
    }

  private:
    uint8_t style() const {
        uint8_t s = Plain;
        if (m_em > 0) s |= Emphasis;
        if (m_strong > 0 || m_heading > 0) s |= Strong;
        if (m_code > 0) s |= Code;
        if (m_strike > 0) s |= Strike;
        return s;
    }

    std::string href() const { return m_hrefs.empty() ? std::string() : m_hrefs.back(); }

    static std::string attribute(MD_ATTRIBUTE const& a) { return {a.text, a.size}; }

    void open_block(BlockKind kind) {
        Block b;
        b.kind = kind;
        b.quote_depth = m_quote;
        b.list_depth = int(m_lists.size());
        b.marker = std::exchange(m_marker, {});
        m_blocks.push_back(std::move(b));
        m_open = true;
    }

    // An item that held no text still shows its marker.
    void close_item() {
        if (!m_marker.empty()) open_block(BlockKind::Paragraph);
        m_open = false;
    }

    void append(std::string_view text, uint8_t style, std::string const& link) {
        if (text.empty()) return;
        // Tight list items hold their text without a paragraph.
        if (!m_open) open_block(BlockKind::Paragraph);
        auto& runs = m_blocks.back().runs;
        if (!runs.empty() && runs.back().style == style && runs.back().link == link)
            runs.back().text += text;
        else
            runs.push_back({std::string(text), style, link});
    }

    std::string_view m_source;
    std::vector<TextRange> m_mentions;
    std::vector<FoundLink> m_links;
    std::vector<Block> m_blocks;
    std::vector<unsigned> m_lists;  // per open list: the next number, 0 for bullets
    std::vector<std::string> m_hrefs;
    unsigned m_unlisted = 0;
    std::string m_marker;
    bool m_open = false;
    int m_quote = 0, m_heading = 0, m_em = 0, m_strong = 0, m_code = 0, m_strike = 0;
};

Builder& self(void* user) {
    return *static_cast<Builder*>(user);
}

}  // namespace

std::vector<Block> plain(std::string_view text, std::vector<TextRange> const& mentions) {
    Builder builder(text, mentions);
    builder.append_source(0, text.size());
    return builder.take();
}

std::string displayed_text(std::vector<Block> const& blocks) {
    std::string out;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0) out += '\n';
        auto const& block = blocks[i];
        if (!block.marker.empty()) out += block.marker + " ";
        for (auto const& run : block.runs) out += run.text;
    }
    return out;
}

std::vector<Block> parse(std::string_view text, std::vector<TextRange> const& mentions) {
    if (text.size() > max_formatted_bytes) return plain(text, mentions);
    Builder builder(text, mentions);
    MD_PARSER parser{};
    parser.flags = parser_flags;
    parser.enter_block = [](MD_BLOCKTYPE t, void* d, void* u) {
        return self(u).enter_block(t, d), 0;
    };
    parser.leave_block = [](MD_BLOCKTYPE t, void*, void* u) { return self(u).leave_block(t), 0; };
    parser.enter_span = [](MD_SPANTYPE t, void* d, void* u) { return self(u).enter_span(t, d), 0; };
    parser.leave_span = [](MD_SPANTYPE t, void*, void* u) { return self(u).leave_span(t), 0; };
    parser.text = [](MD_TEXTTYPE t, MD_CHAR const* s, MD_SIZE n, void* u) {
        return self(u).text(t, s, n), 0;
    };
    if (md_parse(text.data(), MD_SIZE(text.size()), &parser, &builder) != 0)
        return plain(text, mentions);
    auto blocks = builder.take();
    bool shown = std::ranges::any_of(blocks, [](Block const& b) {
        return b.kind == BlockKind::Rule ||
               std::ranges::any_of(b.runs, [](Run const& r) { return !r.text.empty(); });
    });
    // Text the parser reads as nothing at all (a lone link definition) is shown as typed.
    if (!shown && !text.empty()) return plain(text, mentions);
    return blocks;
}

}  // namespace chat::markup
