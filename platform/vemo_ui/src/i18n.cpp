#include "vemo_ui/i18n.hpp"

#include <map>
#include <mutex>

namespace vemo_ui::i18n {

namespace {

bool is_key_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

FluentParseResult parse_fluent(std::string_view source)
{
    FluentParseResult out;
    size_t line_no = 0;
    FluentMessage* open = nullptr;  // the message that indented lines continue
    while (!source.empty()) {
        size_t nl = source.find('\n');
        std::string_view line = source.substr(0, nl);
        source.remove_prefix(nl == std::string_view::npos ? source.size() : nl + 1);
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (trim(line).empty()) continue;
        if (line.front() == '#') {
            open = nullptr;
            continue;
        }
        if (line.front() == ' ' || line.front() == '\t') {
            if (open) {
                if (!open->value.empty()) open->value += '\n';
                open->value += trim(line);
            } else {
                out.errors.push_back("line " + std::to_string(line_no) + ": stray indented text");
            }
            continue;
        }
        size_t eq = line.find('=');
        std::string_view key = trim(line.substr(0, eq));
        bool key_ok = eq != std::string_view::npos && !key.empty();
        for (char c : key) key_ok = key_ok && is_key_char(c);
        if (!key_ok) {
            out.errors.push_back("line " + std::to_string(line_no) + ": expected 'key = value'");
            open = nullptr;
            continue;
        }
        out.messages.push_back({std::string(key), std::string(trim(line.substr(eq + 1)))});
        open = &out.messages.back();
    }
    return out;
}

std::string EmbeddedCatalog::t(std::string_view message_key) const
{
    // Catalogs are compiled in, so their sources live as long as the program: parse each once.
    static std::mutex mutex;
    static std::map<std::pair<char const*, size_t>, std::map<std::string, std::string, std::less<>>>
        parsed;

    for (auto const& [locale, source] : resources) {
        if (locale != default_locale) continue;
        std::lock_guard lock(mutex);
        auto [it, inserted] = parsed.try_emplace({source.data(), source.size()});
        if (inserted) {
            for (auto& m : parse_fluent(source).messages)
                it->second.insert_or_assign(std::move(m.key), std::move(m.value));
        }
        if (auto found = it->second.find(message_key); found != it->second.end())
            return found->second;
    }
    return std::string(message_key);
}

}  // namespace vemo_ui::i18n
