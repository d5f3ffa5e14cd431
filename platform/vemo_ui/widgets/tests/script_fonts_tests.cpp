// Every script people write messages in must shape with real glyphs from the installed fonts
// (scripts/install-deps.sh), not missing-glyph boxes.
#include <gtest/gtest.h>

#include "vemo_ui/text_renderer.hpp"

namespace {

struct Sample {
    char const* script;
    char const* text;
};

class ScriptFonts : public testing::TestWithParam<Sample> {};

TEST_P(ScriptFonts, RenderWithoutUnknownGlyphs) {
    vemo_ui::TextRenderer text;
    EXPECT_EQ(text.unknown_glyphs(GetParam().text, 15), 0) << GetParam().script;
    EXPECT_EQ(text.unknown_glyphs(GetParam().text, 15, vemo_ui::FontWeight::Bold), 0)
        << GetParam().script;
}

INSTANTIATE_TEST_SUITE_P(Written, ScriptFonts,
                         testing::Values(Sample{"korean", "안녕하세요, 회의는 세 시에 시작합니다"},
                                         Sample{"thai", "สวัสดีครับ ประชุมเริ่มบ่ายสามโมง"},
                                         Sample{"devanagari", "नमस्ते, बैठक तीन बजे शुरू होगी"},
                                         Sample{"arabic", "مرحبا، يبدأ الاجتماع الساعة الثالثة"},
                                         Sample{"hebrew", "שלום, הפגישה מתחילה בשלוש"},
                                         Sample{"chinese", "你好，会议三点开始"},
                                         Sample{"japanese", "こんにちは、会議は三時に始まります"}),
                         [](auto const& info) { return std::string(info.param.script); });

}  // namespace
