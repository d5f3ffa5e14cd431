// One fuzz input: try it as a document (whole or incremental) and as sync input. Everything
// must come back as a value or an error; crashes, hangs and sanitizer reports are the bugs.
#include "fuzz_target.hpp"

#include <automerge/sync.hpp>

namespace automerge::fuzz {

namespace {

void exercise_document(AutoCommit& doc) {
    auto heads = doc.get_heads();
    for (auto const& key : doc.keys(ObjId::root())) {
        auto value = doc.get(ObjId::root(), key);
        if (value && *value && std::holds_alternative<ObjType>((*value)->first)) {
            auto const& id = (*value)->second;
            (void)doc.length(id);
            if (doc.object_type(id) == ObjType::Text) (void)doc.text(id);
        }
    }
    auto saved = doc.save();
    (void)AutoCommit::load(saved);
    (void)doc.get_missing_deps(heads);
}

}  // namespace

void run_one(std::span<uint8_t const> input) {
    if (auto doc = AutoCommit::load(input)) exercise_document(*doc);

    AutoCommit target;
    if (target.load_incremental(input)) exercise_document(target);

    if (auto msg = SyncMessage::decode(input)) {
        (void)msg->encode();
        for (auto const& have : msg->have) {
            for (auto const& h : have.last_sync) (void)have.bloom.contains(h);
        }
    }
    (void)SyncState::decode(input);

    AutoCommit peer;
    SyncState state;
    if (receive_sync_message(peer, state, input)) (void)generate_sync_message(peer, state);
}

}  // namespace automerge::fuzz

// libFuzzer entry point, for builds with clang's -fsanitize=fuzzer.
extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    automerge::fuzz::run_one({data, size});
    return 0;
}
