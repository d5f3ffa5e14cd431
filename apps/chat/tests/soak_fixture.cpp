// Writes the demonstration workspaces (three workspaces with categories, text and voice
// channels, threads and messages) into the chat document of VEMO_CHAT_DATA, so that a window
// test starts from a document with something in it.
#include <cstdlib>
#include <iostream>

#include "doc/seeds.hpp"
#include "doc/store_opener.hpp"

int main() {
    if (!std::getenv("VEMO_CHAT_DATA")) {
        std::cerr << "soak_fixture: set VEMO_CHAT_DATA to the data directory to fill\n";
        return 2;
    }
    auto store = chat::open_document_store("so.vemo.chat", {});
    if (!store) {
        std::cerr << "soak_fixture: " << store.error() << "\n";
        return 1;
    }
    if (!chat::doc::demo_seed((*store)->document())) {
        std::cerr << "soak_fixture: the document already holds workspaces\n";
        return 1;
    }
    (*store)->commit_frame();
    if (auto flushed = (*store)->flush(); !flushed) {
        std::cerr << "soak_fixture: " << flushed.error() << "\n";
        return 1;
    }
    return 0;
}
