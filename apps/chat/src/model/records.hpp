#pragma once

#include <cstdint>
#include <string>

#include "doc/records.hpp"

// The view model's records: what the drawing, layout, accessibility and search code read
// every frame, without touching the document. Orders and palette indexes keep the low 32
// bits of what the document stores.
namespace chat {

struct Workspace {
    std::string id;
    std::string name;
    std::string glyph;
    uint32_t color_idx = 0;
    uint32_t order = 0;

    friend bool operator==(Workspace const&, Workspace const&) = default;
};

struct Category {
    std::string id;
    std::string workspace;
    std::string name;
    uint32_t order = 0;
    bool collapsed = false;

    friend bool operator==(Category const&, Category const&) = default;
};

struct Channel {
    std::string id;
    std::string workspace;
    std::string category;
    std::string name;
    std::string topic;
    uint32_t order = 0;
    uint32_t unread = 0;  // computed by the refresh, 0 from the plain reader
    ChannelKind kind = ChannelKind::Text;
    bool archived = false;

    friend bool operator==(Channel const&, Channel const&) = default;
};

struct Person {
    std::string id;
    std::string name;
    std::string initials;
    uint32_t color_idx = 0;
    Presence status = Presence::Online;
    bool agent = false;

    friend bool operator==(Person const&, Person const&) = default;
};

struct VoiceParticipant {
    std::string person;
    std::string ticket;
    bool talking = false;
    bool muted = false;
    bool deafened = false;
    bool audio_only = false;
    bool sharing = false;

    friend bool operator==(VoiceParticipant const&, VoiceParticipant const&) = default;
};

}  // namespace chat
