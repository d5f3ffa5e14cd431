// amdoc: inspect and repair document files from the command line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>

#include <automerge/json.hpp>
#include "file_io.hpp"
#include "vemo_ui/document_file.hpp"

namespace {

using automerge::Result;

constexpr char const* footer = R"(JSON mapping (export):
  map -> object, list -> array, text -> string, string -> string,
  int / uint / float / counter -> number, boolean -> true/false, null -> null,
  bytes -> base64 string, timestamp -> ISO-8601 UTC string with milliseconds,
  NaN / infinity and values of a type this tool does not know -> null.
  Of conflicting values only the winner is shown.
JSON mapping (import): objects -> maps, arrays -> lists, strings -> text, whole numbers ->
  int (uint above the int range), other numbers -> float; the top level must be an object.
Damaged files: every command reads what loads, as the application does; the bytes of a torn
  or damaged write and changes waiting for history the file lacks are reported on standard
  error. 'check' says what it found (status 1 when anything is wrong); with --repair it sets
  unreadable bytes aside in FILE.unreadable-<time> and rewrites FILE without them.
Writing: every command that writes takes the lock a running application holds on the output
  (OUTPUT.lock) and refuses while it is held; the output is replaced through a temporary file.
Exit status: 0 success, 1 failure (one line on standard error), 2 bad usage.)";

int report(automerge::Error const& error) {
    std::cerr << "amdoc: " << error.message << '\n';
    return 1;
}

int warn(std::string const& message) {
    std::cerr << "amdoc: warning: " << message << '\n';
    return 1;
}

using Lock = std::expected<vemo_ui::persist::DocumentLock, std::string>;

// Held from before the inputs are read until the output is in place, so that no running
// application appends to a file that is being replaced.
Lock lock_output(std::string const& out) {
    return vemo_ui::persist::lock_document(out);
}

Result<void> save_to(automerge::AutoCommit& doc, std::string const& out) {
    auto bytes = doc.save();
    return amdoc::write_file_atomically(out, bytes);
}

bool same_file(std::string const& a, std::string const& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec);
}

// A document to be rewritten: its unreadable bytes must be set aside first, not dropped.
Result<automerge::AutoCommit> load_for_rewrite(std::string const& file, std::string const& out) {
    if (!same_file(file, out)) return amdoc::load_document(file);
    auto loaded = amdoc::read_document(file);
    if (!loaded) return std::unexpected(loaded.error());
    if (!loaded->unreadable.empty())
        return automerge::fail(file + " holds " + std::to_string(loaded->unreadable.size()) +
                               " unreadable bytes; 'amdoc check --repair " + file +
                               "' sets them aside first");
    for (auto const& warning : amdoc::document_warnings(file, *loaded)) warn(warning);
    return std::move(loaded->doc);
}

int run_export(std::string const& file) {
    auto doc = amdoc::load_document(file);
    if (!doc) return report(doc.error());
    auto json = automerge::export_json(*doc);
    if (!json) return report(json.error());
    std::cout << json->dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    return 0;
}

int run_import(std::string const& file, std::string const& out) {
    auto lock = lock_output(out);
    if (!lock) return report(automerge::Error{lock.error()});
    auto text = amdoc::read_file(file);
    if (!text) return report(text.error());
    auto doc = automerge::import_json(
        std::string_view(reinterpret_cast<char const*>(text->data()), text->size()));
    if (!doc) return report(automerge::Error{file + ": " + doc.error().message});
    auto saved = save_to(*doc, out);
    return saved ? 0 : report(saved.error());
}

// Root keys that both inputs created on their own: after a merge only one of the two
// objects is visible, so one side's whole tree under that key seems lost.
void warn_root_conflicts(automerge::AutoCommit& merged) {
    auto root = automerge::ObjId::root();
    for (auto const& key : merged.keys(root)) {
        auto values = merged.get_all(root, key);
        if (!values || values->size() < 2) continue;
        bool objects = std::ranges::any_of(*values, [](auto const& v) {
            return std::holds_alternative<automerge::ObjType>(v.first);
        });
        if (!objects) continue;
        std::cerr << "amdoc: warning: both documents created \"" << key
                  << "\" on their own; the merge shows only one"
                  << " of them (documents meant to be shared should be joined, not merged)\n";
    }
}

int run_merge(std::string const& a, std::string const& b, std::string const& out) {
    auto lock = lock_output(out);
    if (!lock) return report(automerge::Error{lock.error()});
    auto left = load_for_rewrite(a, out);
    if (!left) return report(left.error());
    auto right = load_for_rewrite(b, out);
    if (!right) return report(right.error());
    auto merged = left->merge(*right);
    if (!merged) return report(merged.error());
    warn_root_conflicts(*left);
    auto saved = save_to(*left, out);
    return saved ? 0 : report(saved.error());
}

int run_heads(std::string const& file) {
    auto doc = amdoc::load_document(file);
    if (!doc) return report(doc.error());
    auto heads = doc->get_heads();
    std::ranges::sort(heads);
    for (auto const& h : heads) std::cout << h.to_hex() << '\n';
    return 0;
}

// One line per change: hash actor seq start_op deps num_ops, deps comma-separated or "-".
int run_changes(std::string const& file) {
    auto doc = amdoc::load_document(file);
    if (!doc) return report(doc.error());
    for (auto const& c : doc->get_changes({})) {
        std::string deps;
        for (auto const& d : c.deps) deps += (deps.empty() ? "" : ",") + d.to_hex();
        std::cout << c.hash.to_hex() << ' ' << c.actor.to_hex() << ' ' << c.seq << ' ' << c.start_op
                  << ' ' << (deps.empty() ? "-" : deps) << ' ' << c.num_ops << '\n';
    }
    return 0;
}

int run_compact(std::string const& in, std::string const& out) {
    auto lock = lock_output(out);
    if (!lock) return report(automerge::Error{lock.error()});
    auto doc = load_for_rewrite(in, out);
    if (!doc) return report(doc.error());
    auto saved = save_to(*doc, out);
    return saved ? 0 : report(saved.error());
}

// Says what is wrong with a document file; with `repair`, sets its unreadable bytes aside
// and rewrites it without them (changes waiting for missing history stay in the file).
int run_check(std::string const& file, bool repair) {
    Lock lock = std::unexpected(std::string());
    if (repair) {
        lock = lock_output(file);
        if (!lock) return report(automerge::Error{lock.error()});
    }
    auto loaded = amdoc::read_document(file);
    if (!loaded) return report(loaded.error());
    auto& doc = loaded->doc;
    size_t waiting = doc.queued_changes();
    std::cout << file << ": " << loaded->chunks << " chunks, " << doc.get_changes({}).size()
              << " changes, " << doc.get_heads().size() << " heads, " << loaded->unreadable.size()
              << " unreadable bytes, " << waiting << " changes waiting for missing history\n";
    auto warnings = amdoc::document_warnings(file, *loaded);
    if (!repair || loaded->unreadable.empty()) {
        for (auto const& w : warnings) warn(w);
        return warnings.empty() ? 0 : 1;
    }
    auto aside = vemo_ui::persist::keep_aside(file, "unreadable", loaded->unreadable);
    if (!aside) return report(automerge::Error{aside.error()});
    auto saved = save_to(doc, file);
    if (!saved) return report(saved.error());
    std::cout << file << ": repaired; the unreadable bytes are kept in " << aside->string() << '\n';
    if (waiting == 0) return 0;
    return warn(warnings.back());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Inspect, convert, merge and compact document files."};
    app.footer(footer);
    app.require_subcommand(1);
    std::string file, file_b, out;

    auto* export_cmd = app.add_subcommand("export", "Print a document as JSON");
    export_cmd->add_option("FILE", file, "document file")->required();
    auto* import_cmd = app.add_subcommand("import", "Create a document from a JSON object");
    import_cmd->add_option("JSON_FILE", file, "JSON file")->required();
    import_cmd->add_option("-o,--output", out, "document file to write")->required();
    auto* merge_cmd = app.add_subcommand("merge", "Merge two documents into one file");
    merge_cmd->add_option("A", file, "first document")->required();
    merge_cmd->add_option("B", file_b, "second document")->required();
    merge_cmd->add_option("-o,--output", out, "document file to write")->required();
    auto* heads_cmd = app.add_subcommand("heads", "Print the heads, one sorted hex hash a line");
    heads_cmd->add_option("FILE", file, "document file")->required();
    auto* changes_cmd =
        app.add_subcommand("changes", "Print each change: hash actor seq start_op deps num_ops");
    changes_cmd->add_option("FILE", file, "document file")->required();
    auto* compact_cmd = app.add_subcommand("compact", "Load a document and save it compactly");
    compact_cmd->add_option("IN", file, "document file")->required();
    compact_cmd->add_option("-o,--output", out, "document file to write")->required();
    bool repair = false;
    auto* check_cmd = app.add_subcommand(
        "check", "Report unreadable bytes and changes waiting for missing history");
    check_cmd->add_option("FILE", file, "document file")->required();
    check_cmd->add_flag("--repair", repair, "set unreadable bytes aside and rewrite the file");

    try {
        app.parse(argc, argv);
    } catch (CLI::CallForHelp const&) {
        std::cout << app.help();
        return 0;
    } catch (CLI::ParseError const& e) {
        std::cerr << "amdoc: " << e.what() << " (see amdoc --help)\n";
        return 2;
    }

    if (export_cmd->parsed()) return run_export(file);
    if (import_cmd->parsed()) return run_import(file, out);
    if (merge_cmd->parsed()) return run_merge(file, file_b, out);
    if (heads_cmd->parsed()) return run_heads(file);
    if (changes_cmd->parsed()) return run_changes(file);
    if (compact_cmd->parsed()) return run_compact(file, out);
    if (check_cmd->parsed()) return run_check(file, repair);
    return 2;
}
