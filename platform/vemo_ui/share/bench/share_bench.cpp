// The sharing layer's own benchmark on a plain list of messages, each a change of its own;
// apps/chat/bench has the same measurement on the chat's document. Both run the reference
// engine's sync of the same document after their own (reference_sync.mjs).
#include "share_bench.hpp"

namespace {

using automerge::ObjId;
using automerge::ObjType;

std::optional<ObjId> message_list(automerge::AutoCommit& doc) {
    auto messages = doc.get(ObjId::root(), std::string("messages"));
    if (!messages || !*messages) return std::nullopt;
    auto list = doc.get((*messages)->second, std::string("c"));
    if (!list || !*list) return std::nullopt;
    return (*list)->second;
}

void add_message(automerge::AutoCommit& doc, std::size_t i) {
    auto list = message_list(doc);
    if (!list) {
        auto messages =
            doc.put_object(ObjId::root(), std::string("messages"), ObjType::Map).value();
        list = doc.put_object(messages, std::string("c"), ObjType::List).value();
    }
    auto msg = doc.insert_object(*list, doc.length(*list), ObjType::Map).value();
    (void)doc.put(msg, std::string("id"), "m_" + std::to_string(i));
    (void)doc.put(msg, std::string("author"), std::string("u_a"));
    (void)doc.put(msg, std::string("ts"), std::int64_t(1700000000 + i));
    auto text = doc.put_object(msg, std::string("text"), ObjType::Text).value();
    (void)doc.splice_text(text, 0, 0,
                          "message number " + std::to_string(i) + " with a little text in it");
    doc.commit();
}

}  // namespace

int main(int argc, char** argv) {
    share_bench::Workload w;
    w.fill = [](automerge::AutoCommit& doc, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) add_message(doc, i);
    };
    w.post = add_message;
    w.count = [](automerge::AutoCommit& doc) -> std::size_t {
        auto list = message_list(doc);
        return list ? doc.length(*list) : 0;
    };
    return share_bench::run(argc, argv, w);
}
