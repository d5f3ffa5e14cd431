#include "app/localisation.hpp"

#include <array>

namespace chat {

std::string_view const catalog_resource =
    R"ftl(# Chat — user-facing strings.

# Marker beside a participant in the `@` picker that is an agent rather than a
# person, so somebody can tell at a glance that they are addressing software.
chat-mention-agent-tag = agent

# Status line under the user's own name in the sidebar's identity bar.
chat-identity-available = Available
chat-identity-in-voice = In voice

# Chip under the workspace title that adds a channel category.
chat-sidebar-add-category = ＋ Category

# Control buttons along the bottom of the expanded call overlay.
chat-call-mute = Mute
chat-call-unmute = Unmute
chat-call-deafen = Deafen
chat-call-undeafen = Undeafen
chat-call-audio-only = Audio only
chat-call-collapse = Collapse
chat-call-leave = Leave
)ftl";

std::array<std::string_view, 7> const call_control_keys = {
    "chat-call-mute",     "chat-call-unmute",   "chat-call-deafen", "chat-call-undeafen",
    "chat-call-audio-only", "chat-call-collapse", "chat-call-leave",
};

vemo_ui::i18n::EmbeddedCatalog const& catalog()
{
    static vemo_ui::i18n::EmbeddedCatalog const instance{
        "en-US", {{"en-US", catalog_resource}}, "chat-mention-agent-tag"};
    return instance;
}

std::string translate(std::string_view key) { return catalog().t(key); }

std::vector<MeasuredLabel> measure_labels(std::span<std::string_view const> keys,
                                          std::function<double(std::string const&, double)> const& measure,
                                          double horizontal_padding)
{
    constexpr double label_size = 13.0;
    std::vector<MeasuredLabel> out;
    out.reserve(keys.size());
    for (auto key : keys) {
        std::string text = translate(key);
        double width = measure(text, label_size) + 2 * horizontal_padding;
        out.push_back({std::move(text), width});
    }
    return out;
}

}  // namespace chat
