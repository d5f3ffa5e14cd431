// Runs the amdoc binary on real files: JSON in and out, merging, compacting, listing, and
// the exit status and single error line on failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <automerge/json.hpp>
#include "file_io.hpp"
#include "vemo_ui/persist.hpp"

namespace amdoc {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

class AmdocTool : public testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("amdoc_test_" + std::to_string(::getpid()) + "_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path path(std::string const& name) const { return m_dir / name; }

    fs::path write(std::string const& name, std::string const& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
        return path(name);
    }

    ToolRun run(std::string const& args) const {
        char const* bin = std::getenv("AMDOC_BIN");
        EXPECT_NE(bin, nullptr) << "AMDOC_BIN is not set; run through ctest";
        auto err_file = path("stderr.txt");
        std::string cmd = std::string(bin ? bin : "amdoc") + " " + args + " 2>" + err_file.string();
        FILE* pipe = ::popen(cmd.c_str(), "r");
        std::string out;
        std::array<char, 4096> buf{};
        while (size_t n = std::fread(buf.data(), 1, buf.size(), pipe)) out.append(buf.data(), n);
        int status = ::pclose(pipe);
        std::ifstream err_in(err_file);
        std::stringstream err;
        err << err_in.rdbuf();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err.str()};
    }

    static std::vector<std::string> lines(std::string const& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

    fs::path m_dir;
};

json const sample = json::parse(R"({
  "title": "Standup 👩‍👩‍👧",
  "count": 42, "neg": -7, "big": 18446744073709551615, "ratio": 0.25,
  "done": false, "nothing": null,
  "people": [{"name": "Zoë", "tags": ["a", "e\u0301"]}, [], {}],
  "nested": {"deeper": {"deepest": [1, 2.5, true]}}
})");

TEST_F(AmdocTool, ImportThenExportGivesTheSameJson) {
    auto in = write("in.json", sample.dump());
    auto imported = run("import " + in.string() + " -o " + path("doc.am").string());
    ASSERT_EQ(imported.status, 0) << imported.err;
    auto exported = run("export " + path("doc.am").string());
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(json::parse(exported.out), sample);
}

TEST_F(AmdocTool, HeadsAndChangesDescribeHistory) {
    auto a = write("a.json", R"({"from": "a"})");
    auto b = write("b.json", R"({"from": "b", "other": [1]})");
    ASSERT_EQ(run("import " + a.string() + " -o " + path("a.am").string()).status, 0);
    ASSERT_EQ(run("import " + b.string() + " -o " + path("b.am").string()).status, 0);
    auto merged = run("merge " + path("a.am").string() + " " + path("b.am").string() + " -o " +
                      path("m.am").string());
    ASSERT_EQ(merged.status, 0) << merged.err;

    auto heads = lines(run("heads " + path("m.am").string()).out);
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_LT(heads[0], heads[1]);
    for (auto const& h : heads) EXPECT_EQ(h.size(), 64u);

    auto changes = lines(run("changes " + path("m.am").string()).out);
    ASSERT_EQ(changes.size(), 2u);
    for (auto const& line : changes) {
        std::istringstream fields(line);
        std::string hash, actor, seq, start_op, deps, ops;
        fields >> hash >> actor >> seq >> start_op >> deps >> ops;
        EXPECT_NE(std::find(heads.begin(), heads.end(), hash), heads.end());
        EXPECT_EQ(actor.size(), 32u);
        EXPECT_EQ(seq, "1");
        EXPECT_EQ(start_op, "1");
        EXPECT_EQ(deps, "-");
    }
    auto exported = json::parse(run("export " + path("m.am").string()).out);
    EXPECT_EQ(exported["other"], json::array({1}));
    EXPECT_TRUE(exported["from"] == "a" || exported["from"] == "b");

    auto compacted = run("compact " + path("m.am").string() + " -o " + path("c.am").string());
    ASSERT_EQ(compacted.status, 0) << compacted.err;
    EXPECT_EQ(lines(run("heads " + path("c.am").string()).out), heads);
    EXPECT_EQ(json::parse(run("export " + path("c.am").string()).out), exported);
}

TEST_F(AmdocTool, ExportMapsTypesWithoutJsonCounterparts) {
    automerge::AutoCommit doc;
    auto root = automerge::ObjId::root();
    ASSERT_TRUE(doc.put(root, "bytes", std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef}));
    ASSERT_TRUE(doc.put(root, "when", automerge::Timestamp{1700000000123}));
    ASSERT_TRUE(doc.put(root, "likes", automerge::Counter{3}));
    ASSERT_TRUE(doc.increment(root, "likes", 2));
    ASSERT_TRUE(doc.put(root, "huge", uint64_t{18446744073709551615u}));
    ASSERT_TRUE(doc.put(root, "nan", std::numeric_limits<double>::quiet_NaN()));
    ASSERT_TRUE(doc.put(root, "plain", std::string("scalar string")));
    doc.commit();
    ASSERT_TRUE(write_file_atomically(path("typed.am"), doc.save()));
    auto exported = run("export " + path("typed.am").string());
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(json::parse(exported.out), json::parse(R"({
        "bytes": "3q2+7w==", "when": "2023-11-14T22:13:20.123Z", "likes": 5,
        "huge": 18446744073709551615, "nan": null, "plain": "scalar string"})"));
}

// A document of `changes` commits, and its bytes as the application stores it: a document
// chunk followed by one appended change chunk per later commit.
struct AppendedFile {
    std::vector<uint8_t> bytes;
    std::vector<std::vector<uint8_t>> chunks;

    explicit AppendedFile(int changes) {
        automerge::AutoCommit doc;
        for (int i = 0; i < changes; ++i) {
            (void)doc.put(automerge::ObjId::root(), "k" + std::to_string(i), int64_t{i});
            doc.commit();
            chunks.push_back(i == 0 ? doc.save() : doc.save_incremental());
            if (i == 0) (void)doc.save_incremental();
        }
        for (auto const& c : chunks) bytes.insert(bytes.end(), c.begin(), c.end());
    }
};

std::vector<uint8_t> read_all(fs::path const& p) {
    auto bytes = read_file(p);
    return bytes ? *bytes : std::vector<uint8_t>{};
}

TEST_F(AmdocTool, TornTailIsReadLikeTheApplicationAndRepairedOnlyWhenAsked) {
    AppendedFile sample(3);
    auto file = path("doc.am");
    auto torn = sample.bytes;
    for (uint8_t b : std::string("garbage tail")) torn.push_back(b);
    ASSERT_TRUE(write_file_atomically(file, torn));

    auto exported = run("export " + file.string());
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(json::parse(exported.out), json::parse(R"({"k0":0,"k1":1,"k2":2})"));
    EXPECT_NE(exported.err.find("12 bytes could not be read"), std::string::npos) << exported.err;
    EXPECT_EQ(read_all(file), torn) << "reading never changes the file";

    auto checked = run("check " + file.string());
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(checked.err.find("warning"), std::string::npos) << checked.err;
    auto in_place = run("compact " + file.string() + " -o " + file.string());
    EXPECT_EQ(in_place.status, 1) << "rewriting in place would drop the unreadable bytes";
    EXPECT_EQ(read_all(file), torn);

    auto repaired = run("check --repair " + file.string());
    ASSERT_EQ(repaired.status, 0) << repaired.err;
    EXPECT_EQ(run("check " + file.string()).status, 0);
    EXPECT_EQ(json::parse(run("export " + file.string()).out), json::parse(exported.out));
    std::vector<fs::path> aside;
    for (auto const& entry : fs::directory_iterator(m_dir))
        if (entry.path().filename().string().starts_with("doc.am.unreadable-"))
            aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    auto kept = read_all(aside[0]);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "garbage tail");
}

TEST_F(AmdocTool, ChangesWaitingForAMissingChangeAreReported) {
    AppendedFile sample(4);
    std::vector<uint8_t> gap = sample.chunks[0];
    for (size_t i = 2; i < sample.chunks.size(); ++i)
        gap.insert(gap.end(), sample.chunks[i].begin(), sample.chunks[i].end());
    auto file = path("gap.am");
    ASSERT_TRUE(write_file_atomically(file, gap));

    auto checked = run("check " + file.string());
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(checked.err.find("2 changes are waiting for history this file does not have"),
              std::string::npos)
        << checked.err;
    auto exported = run("export " + file.string());
    EXPECT_EQ(exported.status, 0);
    EXPECT_EQ(json::parse(exported.out), json::parse(R"({"k0":0})"));
    EXPECT_NE(exported.err.find("waiting for history"), std::string::npos) << exported.err;

    // Compacting keeps the waiting changes: merging the missing one in later restores all.
    ASSERT_EQ(run("compact " + file.string() + " -o " + file.string()).status, 0);
    auto doc = load_document(file);
    ASSERT_TRUE(doc);
    ASSERT_TRUE(doc->load_incremental(sample.chunks[1]));
    EXPECT_EQ(doc->queued_changes(), 0u);
    EXPECT_EQ(export_json(*doc).value(), json::parse(R"({"k0":0,"k1":1,"k2":2,"k3":3})"));
}

TEST_F(AmdocTool, WritingOntoTheInputGoesThroughANewFile) {
    AppendedFile sample(3);
    auto file = path("doc.am");
    ASSERT_TRUE(write_file_atomically(file, sample.bytes));
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    auto compacted = run("compact " + file.string() + " -o " + file.string());
    ASSERT_EQ(compacted.status, 0) << compacted.err;
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "replaced by rename, not rewritten in place";
    for (auto const& entry : fs::directory_iterator(m_dir)) {
        auto name = entry.path().filename().string();
        EXPECT_TRUE(name == "doc.am" || name == "doc.am.lock" || name == "stderr.txt") << name;
    }
}

// A running application holds its document's lock; a tool that replaced the file under it
// would leave the application appending to a file nobody reads any more.
class AmdocLocked : public AmdocTool, public testing::WithParamInterface<char const*> {};

TEST_P(AmdocLocked, RefusesToWriteADocumentAnApplicationHasOpen) {
    auto file = path("open.automerge");
    auto store = vemo_ui::persist::open_migrating("org.example.AmdocTest", {}, file);
    ASSERT_TRUE(store) << store.error();
    ASSERT_TRUE((*store)->document().put(automerge::ObjId::root(), "live", int64_t{1}));
    ASSERT_TRUE((*store)->flush());
    auto before = read_all(file);
    write("in.json", R"({"other": 2})");

    std::string args = GetParam();
    for (size_t at; (at = args.find("DIR/")) != std::string::npos;)
        args.replace(at, 4, m_dir.string() + "/");
    auto result = run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("is open in a running application"), std::string::npos) << result.err;
    EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(read_all(file), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, AmdocLocked,
    testing::Values("compact DIR/open.automerge -o DIR/open.automerge",
                    "import DIR/in.json -o DIR/open.automerge",
                    "merge DIR/open.automerge DIR/open.automerge -o DIR/open.automerge",
                    "check --repair DIR/open.automerge"));

struct Failure {
    char const* name;
    std::string args;
    int status;
};

class AmdocFailure : public AmdocTool, public testing::WithParamInterface<Failure> {};

TEST_P(AmdocFailure, ExitsWithOneErrorLine) {
    write("garbage.am", "this is not a document");
    write("dupes.json", R"({"a": 1, "nested": {"b": 1, "b": 2}})");
    write("list.json", "[1, 2]");
    write("broken.json", R"({"a": )");
    write("deep.json", std::string(2000, '[') + std::string(2000, ']'));
    std::string args = GetParam().args;
    for (size_t at; (at = args.find("DIR/")) != std::string::npos;) {
        args.replace(at, 4, m_dir.string() + "/");
    }
    auto result = run(args);
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("amdoc: ", 0), 0u) << result.err;
    EXPECT_FALSE(fs::exists(path("out.am")));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, AmdocFailure,
    testing::Values(Failure{"no_command", "", 2}, Failure{"unknown_command", "frobnicate x", 2},
                    Failure{"missing_output", "compact DIR/garbage.am", 2},
                    Failure{"missing_file", "heads DIR/absent.am", 1},
                    Failure{"directory_as_file", "export DIR/.", 1},
                    Failure{"not_a_document", "export DIR/garbage.am", 1},
                    Failure{"merge_with_garbage",
                            "merge DIR/garbage.am DIR/garbage.am -o DIR/out.am", 1},
                    Failure{"duplicate_keys", "import DIR/dupes.json -o DIR/out.am", 1},
                    Failure{"top_level_not_object", "import DIR/list.json -o DIR/out.am", 1},
                    Failure{"invalid_json", "import DIR/broken.json -o DIR/out.am", 1},
                    Failure{"too_deep", "import DIR/deep.json -o DIR/out.am", 1}),
    [](auto const& info) { return std::string(info.param.name); });

// Two documents started apart that both made a root map: the merge keeps one of them
// visible, and says so.
TEST_F(AmdocTool, MergeWarnsWhenBothSidesMadeTheSameRootObject) {
    auto a = write("a.json", R"({"messages": {"c": [1]}, "seeded": true})");
    auto b = write("b.json", R"({"messages": {"c": [2]}, "seeded": true})");
    ASSERT_EQ(run("import " + a.string() + " -o " + path("a.am").string()).status, 0);
    ASSERT_EQ(run("import " + b.string() + " -o " + path("b.am").string()).status, 0);
    auto merged = run("merge " + path("a.am").string() + " " + path("b.am").string() + " -o " +
                      path("m.am").string());
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_NE(merged.err.find("warning: both documents created \"messages\""), std::string::npos)
        << merged.err;
    // Equal scalars are no loss and no warning.
    EXPECT_EQ(merged.err.find("\"seeded\""), std::string::npos) << merged.err;
}

}  // namespace
}  // namespace amdoc
