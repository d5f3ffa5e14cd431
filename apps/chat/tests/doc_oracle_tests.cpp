// The seeded chat document must be readable by the reference engine with the same content,
// since peers and tools running it share our files.
#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "oracle_harness.hpp"

namespace chat::doc {
namespace {

using namespace automerge::oracle;

TEST(ReferenceEngine, LoadsTheDemoSeedWithTheSameContent) {
    REQUIRE_ORACLE();
    AutoCommit doc;
    demo_seed(doc);
    doc.commit();
    // A later, separate change as the application makes them: a draft and a read count.
    set_draft(doc, "c_crit", "Looks good — shipping 🚢");
    set_read_count(doc, "c_crit", "u_me", 4);
    doc.commit();

    Oracle oracle;
    auto saved = oracle.call({{"cmd", "inspect"}, {"doc", to_base64(doc.save())}});
    ASSERT_TRUE(saved) << saved.error();
    EXPECT_EQ((*saved)["heads"], heads_json(doc.get_heads()));
    EXPECT_EQ(content_difference(typed_content(doc), (*saved)["content"]), "");

    // And what the reference saves loads back here to the same content.
    auto again = AutoCommit::load(from_base64((*saved)["save"].get<std::string>()));
    ASSERT_TRUE(again) << again.error().message;
    EXPECT_EQ(typed_content(*again), typed_content(doc));
}

}  // namespace
}  // namespace chat::doc
