#pragma once

#include <cstdint>
#include <string>

#include "doc/document.hpp"
#include "doc/records.hpp"

// What a brand-new document is filled with. Both seeds write "seeded" = true first and do
// nothing on a document that is already seeded, so they run at most once per document, also
// when two peers start from the same empty document.
namespace chat::doc {

// The local person as the application knows it.
struct LocalPerson {
    std::string id;
    std::string name;
    std::string initials;
    uint32_t color_idx = 0;
    Presence presence = Presence::Online;
};

// One personal workspace with a "general" text channel and a "Lounge" voice channel, and the
// local person's record. Answers whether it wrote anything.
bool home_seed(AutoCommit& doc, LocalPerson const& local);

// Three workspaces, six people, a call in progress and a design conversation: what the
// screenshots show. Answers whether it wrote anything.
bool demo_seed(AutoCommit& doc);

// The local person's record with only the fields that differ written.
bool update_local_person(AutoCommit& doc, LocalPerson const& local);

// The seeding step of every frame: the interactive application seeds its home workspace
// once and then keeps the local person's record current; a screenshot instance seeds the
// home workspace when asked to, else the demo.
void seed_for_frame(AutoCommit& doc, bool interactive, bool use_home_seed,
                    LocalPerson const& local);

// The fixed times of the demo conversation (2026-06-26, 09:00 and 12:02 UTC).
inline constexpr int64_t demo_first_ts = 1782464400;
inline constexpr int64_t demo_last_ts = 1782475320;

}  // namespace chat::doc
