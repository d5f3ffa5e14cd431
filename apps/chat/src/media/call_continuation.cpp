#include "media/call_continuation.hpp"

#include <nlohmann/json.hpp>

namespace chat::call {

using nlohmann::ordered_json;

namespace {

struct MissingMember {
    std::string name;
};

template <typename T>
T member(ordered_json const& object, char const* name) {
    auto it = object.find(name);
    if (it == object.end()) throw MissingMember{name};
    return it->get<T>();
}

}  // namespace

std::string encode_continuation(ChatCallContinuation const& c) {
    ordered_json out;
    out["workspace_id"] = c.workspace_id;
    out["channel_id"] = c.channel_id;
    out["media"] = {{"microphone", c.media.microphone},
                    {"camera", c.media.camera},
                    {"screen_share", c.media.screen_share},
                    {"share_audio", c.media.share_audio}};
    out["controls"] = {{"microphone_muted", c.controls.microphone_muted},
                       {"camera_muted", c.controls.camera_muted},
                       {"screen_share_paused", c.controls.screen_share_paused},
                       {"share_audio_muted", c.controls.share_audio_muted}};
    return out.dump();
}

std::expected<ChatCallContinuation, std::string> decode_continuation(std::string_view json) {
    try {
        auto in = ordered_json::parse(json);
        if (!in.is_object()) return std::unexpected(std::string("expected a JSON object"));
        ChatCallContinuation c;
        c.workspace_id = member<std::string>(in, "workspace_id");
        c.channel_id = member<std::string>(in, "channel_id");
        auto media = member<ordered_json>(in, "media");
        auto controls = member<ordered_json>(in, "controls");
        if (!media.is_object() || !controls.is_object())
            return std::unexpected(std::string("media and controls must be objects"));
        c.media = {member<bool>(media, "microphone"), member<bool>(media, "camera"),
                   member<bool>(media, "screen_share"), member<bool>(media, "share_audio")};
        c.controls = {member<bool>(controls, "microphone_muted"),
                      member<bool>(controls, "camera_muted"),
                      member<bool>(controls, "screen_share_paused"),
                      member<bool>(controls, "share_audio_muted")};
        return c;
    } catch (MissingMember const& missing) {
        return std::unexpected("missing field `" + missing.name + "`");
    } catch (std::exception const& e) {
        return std::unexpected(std::string(e.what()));
    }
}

}  // namespace chat::call
