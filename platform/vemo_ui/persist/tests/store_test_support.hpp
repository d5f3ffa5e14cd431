#pragma once

#include <gtest/gtest.h>

#include <automerge/automerge.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vemo_ui/persist.hpp"

namespace persist_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "persist-test-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    fs::path const& path() const { return m_path; }

  private:
    fs::path m_path;
};

inline Bytes read_bytes(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(fs::path const& path, Bytes const& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::optional<int64_t> get_int(automerge::AutoCommit& doc, std::string const& key) {
    auto value = doc.get(automerge::ObjId::root(), key);
    if (!value || !*value) return std::nullopt;
    auto const* scalar = std::get_if<automerge::ScalarValue>(&(*value)->first);
    if (!scalar) return std::nullopt;
    auto const* i = std::get_if<int64_t>(scalar);
    return i ? std::optional(*i) : std::nullopt;
}

// Files next to `path` whose name starts with its name and `tag`.
inline std::vector<fs::path> siblings_tagged(fs::path const& path, std::string const& tag) {
    std::vector<fs::path> out;
    std::string prefix = path.filename().string() + "." + tag;
    for (auto const& entry : fs::directory_iterator(path.parent_path()))
        if (entry.path().filename().string().starts_with(prefix)) out.push_back(entry.path());
    return out;
}

inline std::unique_ptr<vemo_ui::persist::DocumentStore> open_at(
    fs::path const& path, vemo_ui::persist::StoreOptions options = {}) {
    auto store = vemo_ui::persist::open_migrating("org.example.PersistTest", options, path);
    EXPECT_TRUE(store) << (store ? "" : store.error());
    return store ? std::move(*store) : nullptr;
}

}  // namespace persist_test
