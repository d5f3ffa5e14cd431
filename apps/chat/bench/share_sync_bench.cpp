// A newcomer's first sync of a large chat workspace and the live latency after it, on the
// chat's own document shape (reactions, threads, mentions, one change per message), with the
// view rebuilt as the window does. Arguments: [MESSAGES (10000)] [LATENCY SAMPLES (200)].
#include "big_workspace.hpp"
#include "model/readers.hpp"
#include "model/view_model.hpp"
#include "share_bench.hpp"

int main(int argc, char** argv) {
    share_bench::Workload w;
    w.fill = [](chat::doc::AutoCommit& doc, std::size_t count) {
        bench::fill_workspace(doc, int(count), true);
    };
    w.post = [](chat::doc::AutoCommit& doc, std::size_t i) {
        chat::doc::insert_message(doc, bench::channel_id(3), bench::bench_message(int(i), {}));
        doc.commit();
    };
    // The lengths of the channels' lists: reading the messages themselves would cost more
    // than the delivery measured.
    w.count = [](chat::doc::AutoCommit& doc) {
        std::size_t n = 0;
        auto lists = doc.get(chat::doc::ObjId::root(), std::string("messages"));
        if (!lists || !*lists) return n;
        for (int c = 0; c < bench::channel_count; ++c) {
            auto list = doc.get((*lists)->second, bench::channel_id(c));
            if (list && *list) n += doc.length((*list)->second);
        }
        return n;
    };
    w.refresh = [](chat::doc::AutoCommit& doc) {
        chat::model::Navigation nav;
        nav.local = {"u_me", "Me", "M", 0, chat::Presence::Online};
        nav.workspace_id = "ws_a";
        nav.channel_id = bench::channel_id(3);
        auto vm = chat::model::refresh(doc, nav);
        (void)vm;
    };
    return share_bench::run(argc, argv, w);
}
