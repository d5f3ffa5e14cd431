#include "doc/internal_error.hpp"
#include "doc/schema.hpp"
#include "vemo_ui/doc_text.hpp"

namespace chat::doc {

bool set_draft(AutoCommit& doc, std::string_view key, std::string_view text) {
    if (!valid_key(key)) return false;
    auto drafts = must(ensure_map(doc, ObjId::root(), drafts_key), "put map");
    auto draft = must(ensure_text(doc, drafts, key), "put text");
    must(vemo_ui::doc::splice_text_diffed(doc, draft, sanitized_utf8(text)), "text");
    return true;
}

}  // namespace chat::doc
