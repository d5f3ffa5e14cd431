#pragma once

// Drives the reference engine (tests/oracle/oracle.js under Node.js) through a child process
// speaking one JSON object per line, and turns our documents into the same typed JSON the
// reference side reports so the two can be compared directly.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <automerge/automerge.hpp>
#include <automerge/sync.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace automerge::oracle {

using nlohmann::json;

inline std::string to_base64(std::span<uint8_t const> bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = uint32_t{bytes[i]} << 16;
        if (i + 1 < bytes.size()) chunk |= uint32_t{bytes[i + 1]} << 8;
        if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
        out += alphabet[(chunk >> 18) & 63];
        out += alphabet[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
    }
    return out;
}

inline std::vector<uint8_t> from_base64(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xff));
        }
    }
    return out;
}

inline std::vector<uint8_t> from_hex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

inline std::string hex_of(std::span<uint8_t const> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

inline std::optional<std::filesystem::path> find_on_path(std::string const& name) {
    char const* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::string_view rest(path);
    while (!rest.empty()) {
        auto colon = rest.find(':');
        auto dir = rest.substr(0, colon);
        auto candidate = std::filesystem::path(dir) / name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

// Why the reference cannot run here, or nothing when it can.
inline std::optional<std::string> oracle_unavailable() {
    char const* root = std::getenv("VEMO_SOURCE_DIR");
    if (root == nullptr) return "VEMO_SOURCE_DIR is not set; run the test through ctest";
    auto dir = std::filesystem::path(root) / "tests" / "oracle";
    if (!std::filesystem::exists(dir / "node_modules" / "@automerge" / "automerge")) {
        return "the reference engine is not installed in " + dir.string() +
               "/node_modules; run scripts/install-deps.sh (npm ci in tests/oracle)";
    }
    if (!find_on_path("node")) return "node is not on PATH; run scripts/install-deps.sh";
    return std::nullopt;
}

class Oracle {
  public:
    Oracle() {
        std::signal(SIGPIPE, SIG_IGN);
        auto dir = std::filesystem::path(std::getenv("VEMO_SOURCE_DIR")) / "tests" / "oracle";
        auto script = (dir / "oracle.js").string();
        int to_child[2];
        int from_child[2];
        if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(to_child[0], STDIN_FILENO);
            ::dup2(from_child[1], STDOUT_FILENO);
            ::close(to_child[0]);
            ::close(to_child[1]);
            ::close(from_child[0]);
            ::close(from_child[1]);
            ::execlp("node", "node", script.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(to_child[0]);
        ::close(from_child[1]);
        m_in = to_child[1];
        m_out = ::fdopen(from_child[0], "r");
    }

    ~Oracle() {
        if (m_in >= 0) ::close(m_in);
        if (m_out != nullptr) std::fclose(m_out);
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
    }

    Oracle(Oracle const&) = delete;
    Oracle& operator=(Oracle const&) = delete;

    // The answer's "ok" member; a failure on the reference side comes back as an error text.
    std::expected<json, std::string> call(json request) {
        if (m_in < 0 || m_out == nullptr)
            return std::unexpected("the reference process is not running");
        std::string line = request.dump() + "\n";
        size_t written = 0;
        while (written < line.size()) {
            auto n = ::write(m_in, line.data() + written, line.size() - written);
            if (n <= 0) return std::unexpected("the reference process stopped reading");
            written += static_cast<size_t>(n);
        }
        char* buf = nullptr;
        size_t cap = 0;
        auto len = ::getline(&buf, &cap, m_out);
        std::string reply = len > 0 ? std::string(buf, static_cast<size_t>(len)) : std::string();
        std::free(buf);
        if (len <= 0) return std::unexpected("the reference process exited");
        auto parsed = json::parse(reply, nullptr, false);
        if (parsed.is_discarded())
            return std::unexpected("unreadable answer: " + reply.substr(0, 200));
        if (parsed.contains("error")) return std::unexpected(parsed["error"].get<std::string>());
        return parsed["ok"];
    }

  private:
    pid_t m_pid = -1;
    int m_in = -1;
    FILE* m_out = nullptr;
};

// ---- our side in the reference's typed JSON ----

inline json scalar_json(ScalarValue const& v) {
    struct Visitor {
        json operator()(std::monostate) const { return json::array({"null", nullptr}); }
        json operator()(bool b) const { return json::array({"boolean", b}); }
        json operator()(int64_t i) const { return json::array({"int", i}); }
        json operator()(uint64_t u) const { return json::array({"uint", u}); }
        json operator()(double d) const { return json::array({"f64", d}); }
        json operator()(Counter c) const { return json::array({"counter", c.value}); }
        json operator()(Timestamp t) const { return json::array({"timestamp", t.millis}); }
        json operator()(std::string const& s) const { return json::array({"str", s}); }
        json operator()(std::vector<uint8_t> const& b) const {
            return json::array({"bytes", hex_of(b)});
        }
        json operator()(Unknown const& u) const {
            return json::array({"unknown", std::to_string(u.type_code) + ":" + hex_of(u.bytes)});
        }
    };
    return std::visit(Visitor{}, v);
}

inline json typed_property(AutoCommit& doc, ObjId const& obj, Prop const& prop);

inline json typed_value(AutoCommit& doc, Value const& v, ObjId const& id) {
    if (auto const* scalar = std::get_if<ScalarValue>(&v)) return scalar_json(*scalar);
    switch (std::get<ObjType>(v)) {
        case ObjType::Map: {
            json members = json::object();
            for (auto const& key : doc.keys(id)) members[key] = typed_property(doc, id, key);
            return json{{"map", members}};
        }
        case ObjType::List: {
            json items = json::array();
            size_t n = doc.length(id);
            for (size_t i = 0; i < n; ++i) items.push_back(typed_property(doc, id, i));
            return json{{"list", items}};
        }
        case ObjType::Text:
            return json{{"text", doc.text(id).value_or("<unreadable text>")}};
    }
    return nullptr;
}

inline json typed_property(AutoCommit& doc, ObjId const& obj, Prop const& prop) {
    auto all = doc.get_all(obj, prop);
    if (!all) return json{{"error", all.error().message}};
    if (all->size() == 1) return typed_value(doc, all->front().first, all->front().second);
    json conflict = json::object();
    for (auto const& [value, id] : *all) conflict[id.to_string()] = typed_value(doc, value, id);
    auto winner = doc.get(obj, prop);
    json win = nullptr;
    if (winner && *winner) win = typed_value(doc, (*winner)->first, (*winner)->second);
    return json{{"conflict", conflict}, {"win", win}};
}

inline json typed_content(AutoCommit& doc) {
    return typed_value(doc, ObjType::Map, ObjId::root());
}

inline json heads_json(std::vector<ChangeHash> heads) {
    std::ranges::sort(heads);
    json out = json::array();
    for (auto const& h : heads) out.push_back(h.to_hex());
    return out;
}

inline json change_json(Change const& c) {
    std::vector<std::string> deps;
    for (auto const& d : c.deps) deps.push_back(d.to_hex());
    std::ranges::sort(deps);
    return json{{"hash", c.hash.to_hex()},
                {"actor", c.actor.to_hex()},
                {"seq", c.seq},
                {"start_op", c.start_op},
                {"time", c.time},
                {"message", c.message ? json(*c.message) : json(nullptr)},
                {"deps", deps},
                {"num_ops", c.num_ops}};
}

// Change summaries ordered by hash, so documents that hold the same history compare equal.
inline json changes_by_hash(json changes) {
    std::sort(changes.begin(), changes.end(),
              [](json const& a, json const& b) { return a["hash"] < b["hash"]; });
    return changes;
}

inline json our_changes(AutoCommit& doc) {
    json out = json::array();
    for (auto const& c : doc.get_changes({})) out.push_back(change_json(c));
    return changes_by_hash(out);
}

// Empty when both lists hold the same changes; otherwise the first difference, matching
// changes by actor and seq so a wrong hash shows which fields disagree.
inline std::string change_difference(json const& ours, json const& reference) {
    auto key = [](json const& c) { return c["actor"].get<std::string>() + "#" + c["seq"].dump(); };
    std::map<std::string, json> by_key;
    for (auto const& c : ours) by_key[key(c)] = c;
    for (auto const& r : reference) {
        auto it = by_key.find(key(r));
        if (it == by_key.end()) return "we lack the change " + r.dump();
        if (it->second != r) return "ours " + it->second.dump() + "\n reference " + r.dump();
        by_key.erase(it);
    }
    if (!by_key.empty()) return "the reference lacks " + by_key.begin()->second.dump();
    return {};
}

// Empty when equal; otherwise the path of the first difference and both values there.
inline std::string content_difference(json const& ours, json const& reference,
                                      std::string path = "") {
    if (ours == reference) return {};
    if (ours.is_object() && reference.is_object()) {
        for (auto const& [k, v] : reference.items()) {
            if (!ours.contains(k))
                return path + "/" + k + ": missing in ours, reference has " +
                       v.dump().substr(0, 300);
            auto d = content_difference(ours[k], v, path + "/" + k);
            if (!d.empty()) return d;
        }
        for (auto const& [k, v] : ours.items()) {
            if (!reference.contains(k))
                return path + "/" + k + ": only in ours: " + v.dump().substr(0, 300);
        }
    }
    if (ours.is_array() && reference.is_array() && ours.size() == reference.size()) {
        for (size_t i = 0; i < ours.size(); ++i) {
            auto d = content_difference(ours[i], reference[i], path + "/" + std::to_string(i));
            if (!d.empty()) return d;
        }
    }
    return path + ": ours " + ours.dump().substr(0, 400) + "\n reference " +
           reference.dump().substr(0, 400);
}

// Empty when equal; otherwise where the chunk bodies first differ (past the magic bytes,
// checksum, type and length, which differ whenever anything later does), with context.
inline std::string bytes_difference(std::span<uint8_t const> ours,
                                    std::span<uint8_t const> reference) {
    if (std::ranges::equal(ours, reference)) return {};
    auto body_start = [](std::span<uint8_t const> b) -> size_t {
        size_t at = 9;
        while (at < b.size() && (b[at] & 0x80)) ++at;
        return std::min(at + 1, b.size());
    };
    auto a = ours.subspan(body_start(ours));
    auto b = reference.subspan(body_start(reference));
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    size_t from = at > 16 ? at - 16 : 0;
    auto window = [&](std::span<uint8_t const> x) {
        return from >= x.size() ? std::string()
                                : hex_of(x.subspan(from, std::min<size_t>(48, x.size() - from)));
    };
    return "chunk bodies first differ at body byte " + std::to_string(at) + " (ours " +
           std::to_string(ours.size()) + " bytes, reference " + std::to_string(reference.size()) +
           "); from body byte " + std::to_string(from) + ":\n ours      " + window(a) +
           "\n reference " + window(b);
}

// ---- replaying the reference's edit scripts on our engine ----

inline ScalarValue scalar_from(json const& typed) {
    auto tag = typed[0].get<std::string>();
    json const& v = typed.size() > 1 ? typed[1] : json(nullptr);
    if (tag == "str") return v.get<std::string>();
    if (tag == "int") return v.get<int64_t>();
    if (tag == "uint") return v.get<uint64_t>();
    if (tag == "f64") return v.get<double>();
    if (tag == "boolean") return v.get<bool>();
    if (tag == "timestamp") return Timestamp{v.get<int64_t>()};
    if (tag == "counter") return Counter{v.get<int64_t>()};
    if (tag == "bytes") return from_hex(v.get<std::string>());
    return std::monostate{};
}

inline ObjType obj_type_from(json const& name) {
    auto n = name.get<std::string>();
    return n == "map" ? ObjType::Map : n == "list" ? ObjType::List : ObjType::Text;
}

inline Prop prop_from(json const& p) {
    if (p.is_string()) return p.get<std::string>();
    return p.get<size_t>();
}

// Applies each step; the first failure is returned with the step that caused it.
inline std::optional<std::string> replay(std::vector<AutoCommit>& docs, json const& script) {
    for (auto const& s : script) {
        auto what = s["do"].get<std::string>();
        size_t i = s["doc"].get<size_t>();
        if (docs.size() <= i) docs.resize(i + 1);
        auto obj =
            s.contains("obj") ? ObjId::from_string(s["obj"].get<std::string>()) : ObjId::root();
        if (!obj) return "bad object id in " + s.dump();
        Result<void> done{};
        if (what == "create") {
            docs[i] = AutoCommit(*ActorId::from_hex(s["actor"].get<std::string>()));
        } else if (what == "fork") {
            docs[i] = docs[s["src"].get<size_t>()].fork();
            docs[i].set_actor(*ActorId::from_hex(s["actor"].get<std::string>()));
        } else if (what == "merge") {
            auto merged = docs[i].merge(docs[s["src"].get<size_t>()]);
            if (!merged) done = std::unexpected(merged.error());
        } else if (what == "commit") {
            std::optional<std::string> msg;
            if (s.contains("msg") && s["msg"].is_string()) msg = s["msg"].get<std::string>();
            docs[i].commit(msg, s["time"].get<int64_t>());
        } else if (what == "put") {
            done = docs[i].put(*obj, prop_from(s["prop"]), scalar_from(s["v"]));
        } else if (what == "put_object" || what == "insert_object") {
            auto id = what == "put_object"
                          ? docs[i].put_object(*obj, prop_from(s["prop"]), obj_type_from(s["type"]))
                          : docs[i].insert_object(*obj, s["index"].get<size_t>(),
                                                  obj_type_from(s["type"]));
            if (!id) {
                done = std::unexpected(id.error());
            } else if (s.contains("id") && id->to_string() != s["id"].get<std::string>()) {
                return "object id " + id->to_string() + " where the reference made " +
                       s["id"].dump();
            }
        } else if (what == "insert") {
            done = docs[i].insert(*obj, s["index"].get<size_t>(), scalar_from(s["v"]));
        } else if (what == "delete") {
            done = docs[i].remove(*obj, prop_from(s["prop"]));
        } else if (what == "increment") {
            done = docs[i].increment(*obj, prop_from(s["prop"]), s["by"].get<int64_t>());
        } else if (what == "splice") {
            done = docs[i].splice_text(*obj, s["pos"].get<size_t>(), s["del"].get<size_t>(),
                                       s["text"].get<std::string>());
        } else {
            return "unknown step " + s.dump();
        }
        if (!done) return done.error().message + " in " + s.dump();
    }
    return std::nullopt;
}

// Fails the calling test (never skips) when the reference cannot run.
#define REQUIRE_ORACLE()                                                          \
    do {                                                                          \
        if (auto why = ::automerge::oracle::oracle_unavailable()) FAIL() << *why; \
    } while (0)

}  // namespace automerge::oracle
