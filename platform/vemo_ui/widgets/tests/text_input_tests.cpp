#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "vemo_ui/clipboard.hpp"
#include "vemo_ui/text_input.hpp"
#include "vemo_ui/text_renderer.hpp"

using namespace vemo_ui;

namespace {

Modifiers const none{};
Modifiers const shift{.shift = true};
Modifiers const ctrl{.control = true};
Modifiers const ctrl_shift{.shift = true, .control = true};

Event key(Key k, Modifiers m = none) {
    return KeyEvent{k, 0, m, true};
}
Event chr(char32_t c, Modifiers m = none) {
    return KeyEvent{Key::Character, c, m, true};
}

std::string const family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 5 scalars
std::string const thumbs_medium = "\U0001F44D\U0001F3FD";                 // 2 scalars
std::string const flag_fr = "\U0001F1EB\U0001F1F7";
std::string const flag_de = "\U0001F1E9\U0001F1EA";

struct EditCase {
    char const* name;
    std::string text;
    size_t cursor;
    std::vector<Event> events;
    std::string expected_text;
    size_t expected_cursor;
    size_t expected_anchor;  // equal to the cursor when nothing should be selected
};

class Editing : public testing::TestWithParam<EditCase> {};

TEST_P(Editing, KeysEditTextAndMoveCaret) {
    EditCase const& c = GetParam();
    TextInput input = TextInput::local();
    input.set_clipboard(Clipboard::in_process());
    input.set_text(c.text);
    input.set_cursor_pos(c.cursor);
    for (Event const& e : c.events) EXPECT_TRUE(input.handle_event(e));
    EXPECT_EQ(input.text(), c.expected_text);
    EXPECT_EQ(input.cursor_pos(), c.expected_cursor);
    EXPECT_EQ(input.selection().first, c.expected_anchor);
}

INSTANTIATE_TEST_SUITE_P(
    TextInput, Editing,
    testing::Values(
        EditCase{"left_steps_over_zwj_family",
                 "a" + family + "b",
                 7,
                 {key(Key::Left), key(Key::Left)},
                 "a" + family + "b",
                 1,
                 1},
        EditCase{
            "right_steps_over_combining_mark", "e\u0301x", 0, {key(Key::Right)}, "e\u0301x", 2, 2},
        EditCase{"backspace_removes_emoji_with_skin_tone",
                 "hi" + thumbs_medium,
                 4,
                 {key(Key::Backspace)},
                 "hi",
                 2,
                 2},
        EditCase{"backspace_removes_one_flag_of_two",
                 flag_fr + flag_de,
                 4,
                 {key(Key::Backspace)},
                 flag_fr,
                 2,
                 2},
        EditCase{"backspace_removes_zwj_family", "x" + family, 6, {key(Key::Backspace)}, "x", 1, 1},
        EditCase{"delete_removes_letter_with_two_marks",
                 "a\u0308\u0301b",
                 0,
                 {key(Key::Delete)},
                 "b",
                 0,
                 0},
        EditCase{"backspace_at_start_does_nothing", "ab", 0, {key(Key::Backspace)}, "ab", 0, 0},
        EditCase{"ctrl_left_jumps_to_word_starts",
                 "hello big world",
                 15,
                 {key(Key::Left, ctrl), key(Key::Left, ctrl)},
                 "hello big world",
                 6,
                 6},
        EditCase{"ctrl_right_jumps_to_word_end",
                 "hello big world",
                 0,
                 {key(Key::Right, ctrl)},
                 "hello big world",
                 5,
                 5},
        EditCase{"ctrl_left_treats_accented_letters_as_word",
                 "ünïcode wörd",
                 12,
                 {key(Key::Left, ctrl)},
                 "ünïcode wörd",
                 8,
                 8},
        EditCase{"ctrl_backspace_deletes_previous_word",
                 "hello big world",
                 15,
                 {key(Key::Backspace, ctrl)},
                 "hello big ",
                 10,
                 10},
        EditCase{"ctrl_delete_deletes_next_word",
                 "hello big world",
                 5,
                 {key(Key::Delete, ctrl)},
                 "hello world",
                 5,
                 5},
        EditCase{"shift_left_selects_and_typing_replaces",
                 "abc",
                 3,
                 {key(Key::Left, shift), key(Key::Left, shift), chr(U'X')},
                 "aX",
                 2,
                 2},
        EditCase{"left_collapses_selection_to_its_start",
                 "abcd",
                 4,
                 {key(Key::Left, shift), key(Key::Left, shift), key(Key::Left)},
                 "abcd",
                 2,
                 2},
        EditCase{"ctrl_shift_right_selects_word",
                 "one two",
                 0,
                 {key(Key::Right, ctrl_shift)},
                 "one two",
                 3,
                 0},
        EditCase{"ctrl_a_then_backspace_clears",
                 "some text",
                 2,
                 {chr(U'a', ctrl), key(Key::Backspace)},
                 "",
                 0,
                 0},
        EditCase{"backspace_deletes_selection_only",
                 "abcdef",
                 4,
                 {key(Key::Left, shift), key(Key::Left, shift), key(Key::Backspace)},
                 "abef",
                 2,
                 2},
        EditCase{"home_and_end_stay_on_the_line", "ab\ncd", 4, {key(Key::Home)}, "ab\ncd", 3, 3},
        EditCase{"end_goes_to_line_end", "ab\ncd\nef", 3, {key(Key::End)}, "ab\ncd\nef", 5, 5},
        EditCase{"ctrl_end_goes_to_text_end", "ab\ncd", 0, {key(Key::End, ctrl)}, "ab\ncd", 5, 5},
        EditCase{"up_keeps_column", "abc\nde", 6, {key(Key::Up)}, "abc\nde", 2, 2},
        EditCase{"down_clamps_to_shorter_line", "abcd\nde", 3, {key(Key::Down)}, "abcd\nde", 7, 7},
        EditCase{"shift_enter_inserts_line_feed", "ab", 2, {key(Key::Enter, shift)}, "ab\n", 3, 3},
        EditCase{"typing_non_latin_characters",
                 "",
                 0,
                 {chr(U'ж'), chr(U'日'), key(Key::Space)},
                 "ж日 ",
                 3,
                 3},
        EditCase{"invalid_byte_is_one_character",
                 "a\xff"
                 "b",
                 3,
                 {key(Key::Left), key(Key::Backspace)},
                 "ab",
                 1,
                 1}),
    [](testing::TestParamInfo<EditCase> const& info) { return info.param.name; });

TEST(TextInput, EnterSubmitsWithoutChangingText) {
    TextInput input;
    input.set_text("hello");
    EXPECT_TRUE(input.handle_event(key(Key::Enter)));
    EXPECT_EQ(input.text(), "hello");
    EXPECT_FALSE(input.take_dirty());
    EXPECT_TRUE(input.take_submit());
    EXPECT_FALSE(input.take_submit());
}

TEST(TextInput, DirtyIsReportedOnceAndOnlyForUserChanges) {
    TextInput input;
    input.set_text("stored draft");
    EXPECT_FALSE(input.take_dirty());
    input.handle_event(key(Key::Left));
    input.handle_event(key(Key::Home, ctrl));
    EXPECT_FALSE(input.take_dirty());
    input.handle_event(chr(U'x'));
    EXPECT_TRUE(input.take_dirty());
    EXPECT_FALSE(input.take_dirty());
    input.insert_at_cursor("🙂");
    EXPECT_TRUE(input.take_dirty());
    EXPECT_EQ(input.text(), "x🙂stored draft");
    EXPECT_EQ(input.cursor_pos(), 2u);
}

TEST(TextInput, SetTextKeepsCaretInsideAndOnGraphemeBoundary) {
    TextInput input;
    input.set_text("abcdef");
    input.set_cursor_pos(6);
    input.set_text("e\u0301");  // shorter: the caret must not point past the end
    EXPECT_EQ(input.cursor_pos(), 2u);
    input.set_cursor_pos(1);  // between a letter and its mark
    EXPECT_EQ(input.cursor_pos(), 0u);
    input.set_cursor_pos(99);
    EXPECT_EQ(input.cursor_pos(), 2u);
}

TEST(TextInput, PreeditIsShownButNotStoredUntilCommitted) {
    TextInput input;
    input.set_text("ab");
    input.set_cursor_pos(1);
    EXPECT_TRUE(input.handle_event(PreeditEvent{"にほ", 3}));
    EXPECT_EQ(input.text(), "ab");
    EXPECT_EQ(input.preedit(), "にほ");
    EXPECT_FALSE(input.take_dirty());
    EXPECT_TRUE(input.handle_event(TextEvent{"日本"}));
    EXPECT_EQ(input.text(), "a日本b");
    EXPECT_EQ(input.preedit(), "");
    EXPECT_EQ(input.cursor_pos(), 3u);
    EXPECT_TRUE(input.take_dirty());
}

TEST(TextInput, CommittedTextDropsControlCharacters) {
    TextInput input;
    input.handle_event(TextEvent{std::string("x\r\ny\0z\x1b\t", 8)});
    EXPECT_EQ(input.text(), "x\nyz\t");
}

TEST(TextInput, ClipboardRoundTripThroughInProcessBackend) {
    auto board = Clipboard::in_process();
    TextInput from, to;
    from.set_clipboard(board);
    to.set_clipboard(board);
    from.set_text("copy this word");
    from.set_selection(5, 9);
    from.handle_event(chr(U'c', ctrl));
    EXPECT_EQ(from.text(), "copy this word");
    from.set_selection(10, 14);
    from.handle_event(chr(U'X', ctrl_shift));  // Shift does not change the shortcut
    EXPECT_EQ(from.text(), "copy this ");
    to.set_text("[]");
    to.set_cursor_pos(1);
    to.handle_event(chr(U'v', ctrl));
    EXPECT_EQ(to.text(), "[word]");
    EXPECT_EQ(to.cursor_pos(), 5u);
    EXPECT_TRUE(to.take_dirty());
    EXPECT_TRUE(to.perform_action("select-all"));
    EXPECT_TRUE(to.perform_action("copy"));
    std::string seen;
    board->request_text([&](std::optional<std::string> t) { seen = t.value_or("<none>"); });
    EXPECT_EQ(seen, "[word]");
}

// Answers paste requests only when told to, like a clipboard owned by another program.
class LateClipboard final : public Clipboard {
  public:
    void set_text(std::string const& text) override { m_text = text; }
    void request_text(TextCallback done) override { m_waiting.push_back(std::move(done)); }
    void answer() {
        for (auto& done : m_waiting) done(m_text);
        m_waiting.clear();
    }

  private:
    std::string m_text;
    std::vector<TextCallback> m_waiting;
};

TEST(TextInput, LatePasteLandsAtTheCurrentCaretAndSurvivesTheInputGoingAway) {
    auto board = std::make_shared<LateClipboard>();
    board->set_text("P");
    {
        TextInput input;
        input.set_clipboard(board);
        input.set_text("ab");
        input.set_cursor_pos(0);
        input.handle_event(chr(U'v', ctrl));
        EXPECT_EQ(input.text(), "ab");
        input.handle_event(key(Key::End));
        board->answer();
        EXPECT_EQ(input.text(), "abP");
        EXPECT_TRUE(input.take_dirty());
        input.handle_event(chr(U'v', ctrl));
    }
    board->answer();  // the input is gone: nothing to paste into, nothing to crash
}

class PointerEditing : public testing::Test {
  protected:
    static TextRenderer& renderer() {
        static TextRenderer r;
        return r;
    }
    void SetUp() override {
        input.set_text_renderer(&renderer());
        input.set_bounds({100, 50, 400, 200});
        input.set_text("first line here\nsecond line");
    }
    Event press(double x, double y, int clicks = 1, Modifiers m = none) {
        return PointerEvent{PointerEvent::Kind::Press, {x, y}, PointerButton::Primary, clicks, m};
    }
    Event move(double x, double y) {
        return PointerEvent{PointerEvent::Kind::Move, {x, y}, PointerButton::None, 1, none};
    }
    Event release(double x, double y) {
        return PointerEvent{PointerEvent::Kind::Release, {x, y}, PointerButton::Primary, 1, none};
    }
    double line() { return renderer().line_height(15); }
    TextInput input;
};

TEST_F(PointerEditing, ClickPlacesCaretAndFocuses) {
    EXPECT_TRUE(input.handle_event(press(100 + 12 + 1, 50 + 9 + line() * 1.5)));
    EXPECT_TRUE(input.is_focused());
    EXPECT_EQ(input.cursor_pos(), 16u);  // start of the second line
    EXPECT_TRUE(input.handle_event(release(113, 80)));
    EXPECT_TRUE(input.handle_event(press(495, 50 + 9 + line() / 2)));
    EXPECT_EQ(input.cursor_pos(), 15u);               // end of the first line
    EXPECT_FALSE(input.handle_event(press(20, 20)));  // outside
}

TEST_F(PointerEditing, DoubleClickSelectsWordAndDragExtends) {
    double y = 50 + 9 + line() / 2;
    double x_in_line = 112 + renderer().measure("first li", 15).width;
    input.handle_event(press(x_in_line, y, 2));
    EXPECT_EQ(input.selected_text(), "line");
    input.handle_event(move(495, y));
    EXPECT_EQ(input.selected_text(), "line here");
    input.handle_event(release(495, y));
    input.handle_event(press(113, y));
    input.handle_event(move(112 + renderer().measure("first", 15).width, y));
    EXPECT_EQ(input.selected_text(), "first");
}

TEST_F(PointerEditing, CaretRectFollowsTheCaretInWindowCoordinates) {
    input.set_cursor_pos(0);
    Rect start = input.caret_rect();
    EXPECT_NEAR(start.x, 112, 1);
    EXPECT_NEAR(start.y, 59, 1);
    input.handle_event(key(Key::Down));
    EXPECT_NEAR(input.caret_rect().y, 59 + line(), 1);
}

TEST_F(PointerEditing, PreferredHeightGrowsWithLinesAndWrapping) {
    input.set_text("one");
    double one = input.preferred_height(400);
    input.set_text("one\ntwo\nthree");
    EXPECT_NEAR(input.preferred_height(400), one + 2 * line(), 0.5);
    input.set_text(std::string(120, 'w') + " wrap");
    EXPECT_GT(input.preferred_height(200), one + line());
    input.set_text("ends with a break\n");
    EXPECT_NEAR(input.preferred_height(400), one + line(), 0.5);
}

}  // namespace

// Edits from assistive technology count in scalar values, land on grapheme boundaries, are
// the user's own changes, and the field reports the result through its accessible node.
TEST(TextInput, AssistiveEditsUseScalarOffsetsAndShowInTheAccessibleText) {
    struct Case {
        char const* name;
        std::string before;
        a11y::TextEdit edit;
        std::string after;
        int caret;
        int selection_start, selection_end;
    };
    std::vector<Case> const cases = {
        {"insert after a non-ASCII letter", "wörld", {2, 2, "X"}, "wöXrld", 3, 3, 3},
        {"replace a span", "hello world", {0, 5, "bye"}, "bye world", 3, 3, 3},
        {"delete", "hello world", {5, 11, ""}, "hello", 5, 5, 5},
        {"select only", "hello", {1, 4, "", true}, "hello", 4, 1, 4},
        {"offsets past the end clamp", "abc", {7, 9, "!"}, "abc!", 4, 4, 4},
        {"a split emoji snaps to its cluster's start",
         "a" + family + "b",
         {3, 3, "X"},
         "aX" + family + "b",
         2,
         2,
         2},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        TextInput input;
        input.set_text(c.before);
        (void)input.take_dirty();
        input.apply_edit(c.edit);
        EXPECT_EQ(input.text(), c.after);
        EXPECT_EQ(input.take_dirty(), c.before != c.after);
        auto node = input.accessibility("field", "Field");
        ASSERT_TRUE(node.text);
        EXPECT_EQ(node.text->text, c.after);
        EXPECT_EQ(node.text->caret, c.caret);
        EXPECT_EQ(node.text->selection_start, c.selection_start);
        EXPECT_EQ(node.text->selection_end, c.selection_end);
    }
}

// In right-to-left text Left moves on through the text and Right back; Home and End keep to
// the paragraph's start and end.
TEST_F(PointerEditing, ArrowsMoveVisuallyInRightToLeftText) {
    std::string const arabic = "مرحبا";  // 5 letters
    input.set_text(arabic);
    input.set_cursor_pos(0);
    EXPECT_TRUE(input.handle_event(key(Key::Right)));
    EXPECT_EQ(input.cursor_pos(), 0u) << "the start is the right edge";
    input.handle_event(key(Key::Left));
    EXPECT_EQ(input.cursor_pos(), 1u);
    input.handle_event(key(Key::Left, shift));
    EXPECT_EQ(input.selection(), (std::pair<size_t, size_t>{1, 2}));
    input.handle_event(key(Key::Right));
    EXPECT_EQ(input.cursor_pos(), 1u) << "a selection collapses to its right-hand edge";
    input.handle_event(key(Key::End));
    EXPECT_EQ(input.cursor_pos(), 5u);
    double end_x = input.caret_rect().x;
    input.handle_event(key(Key::Home));
    EXPECT_GT(input.caret_rect().x, end_x) << "the start is drawn right of the end";
}

// Control with Left or Right jumps a word the way the arrow points on screen, following the
// direction of the run the caret is in: through right-to-left words Control+Left goes on
// through the text, through a left-to-right word inside them it goes back.
TEST_F(PointerEditing, WordJumpsFollowTheDirectionOnScreen) {
    struct Case {
        char const* name;
        std::string text;
        size_t from;
        Key arrow;
        size_t to;
    };
    std::string const arabic = "مرحبا بالعالم";       // 5 + 1 + 7 letters
    std::string const hebrew = "שלום עולם";           // 4 + 1 + 4
    std::string const mixed_rtl = "שלום hello עולם";  // a right-to-left paragraph
    std::string const mixed_ltr = "hi שלום there";    // a left-to-right paragraph
    for (auto const& c : std::vector<Case>{
             {"arabic_left_from_start", arabic, 0, Key::Left, 5},
             {"arabic_left_again", arabic, 5, Key::Left, 13},
             {"arabic_right_from_end", arabic, 13, Key::Right, 6},
             {"arabic_right_at_start", arabic, 0, Key::Right, 0},
             {"hebrew_right_from_end", hebrew, 9, Key::Right, 5},
             {"hebrew_left_from_start", hebrew, 0, Key::Left, 4},
             {"mixed_rtl_left_over_hebrew", mixed_rtl, 0, Key::Left, 4},
             {"mixed_rtl_right_from_end", mixed_rtl, 15, Key::Right, 11},
             {"mixed_ltr_right_from_start", mixed_ltr, 0, Key::Right, 2},
             {"mixed_ltr_left_from_end", mixed_ltr, 13, Key::Left, 8},
             {"second_paragraph_rtl", "hello\n" + hebrew, 6, Key::Left, 10},
             {"first_paragraph_ltr", "hello\n" + hebrew, 0, Key::Right, 5},
             // "hel|lo" inside the right-to-left paragraph reads left to right: Right ends at
             // the word's right edge, which is where the caret for offset 5 (before "hello",
             // after the space that belongs to the right-to-left text) is drawn.
             {"latin_in_rtl_right_to_word_end", mixed_rtl, 8, Key::Right, 5},
             {"latin_in_rtl_left_to_word_start", mixed_rtl, 8, Key::Left, 10},
             // "ש|לום" inside the left-to-right paragraph reads right to left: Right crosses
             // "ש" to the word's right edge, drawn for offset 7 (its end).
             {"hebrew_in_ltr_right_to_word_start", mixed_ltr, 4, Key::Right, 7},
             {"hebrew_in_ltr_left_to_word_end", mixed_ltr, 4, Key::Left, 3},
             {"arabic_in_ltr_right_from_inside", "go مرحبا now", 4, Key::Right, 8},
             {"latin_in_arabic_left_from_inside", "مرحبا world بك", 9, Key::Left, 11},
             {"ltr_left_at_start_stays", "hello", 0, Key::Left, 0},
         }) {
        SCOPED_TRACE(c.name);
        input.set_text(c.text);
        input.set_cursor_pos(c.from);
        double before = input.caret_rect().x;
        EXPECT_TRUE(input.handle_event(key(c.arrow, ctrl)));
        EXPECT_EQ(input.cursor_pos(), c.to);
        // On screen the caret moved the way the arrow points (or stayed at the edge).
        double after = input.caret_rect().x;
        if (c.from == c.to || c.text.find('\n') != std::string::npos) continue;
        if (c.arrow == Key::Right)
            EXPECT_GT(after, before);
        else
            EXPECT_LT(after, before);
    }
}

// Assistive technology reads the runs the text is drawn in: a right-to-left word and a
// script the field's font lacks start runs of their own, with their offsets in the text.
TEST_F(PointerEditing, TextRunsFollowDirectionAndFallbackFonts) {
    struct Case {
        char const* name;
        std::string text;
        // The runs merged where the direction stays the same (fonts may split them further).
        std::vector<std::tuple<int, int, std::string>> directions;
    };
    for (auto const& c : std::vector<Case>{
             {"one_run", "plain words", {{0, 11, "ltr"}}},
             {"arabic_inside_latin",
              "abc مرحبا xyz",
              {{0, 4, "ltr"}, {4, 9, "rtl"}, {9, 13, "ltr"}}},
             {"latin_inside_hebrew",
              "שלום hello עולם",
              {{0, 5, "rtl"}, {5, 10, "ltr"}, {10, 15, "rtl"}}},
             {"line_break_stays_with_its_line", "hi\nשלום", {{0, 3, "ltr"}, {3, 7, "rtl"}}},
         }) {
        SCOPED_TRACE(c.name);
        input.set_text(c.text);
        auto node = input.accessibility("field", "Field");
        ASSERT_TRUE(node.text);
        std::vector<std::tuple<int, int, std::string>> merged;
        int expected_start = 0;
        for (auto const& run : node.text->runs) {
            EXPECT_EQ(run.start, expected_start) << "runs follow each other";
            EXPECT_LT(run.start, run.end);
            expected_start = run.end;
            auto direction = std::ranges::find(run.attributes, std::string("direction"),
                                               &std::pair<std::string, std::string>::first);
            ASSERT_NE(direction, run.attributes.end());
            if (!merged.empty() && std::get<2>(merged.back()) == direction->second)
                std::get<1>(merged.back()) = run.end;
            else
                merged.emplace_back(run.start, run.end, direction->second);
        }
        EXPECT_EQ(merged, c.directions);
    }
    // Thai is drawn in a fallback font: its run names that font, not the field's.
    input.set_text("ok สวัสดี");
    auto node = input.accessibility("field", "Field");
    ASSERT_TRUE(node.text);
    ASSERT_EQ(node.text->runs.size(), 2u);
    auto family = [](a11y::TextRun const& run) {
        for (auto const& [name, value] : run.attributes)
            if (name == "family-name") return value;
        return std::string();
    };
    EXPECT_NE(family(node.text->runs[0]), family(node.text->runs[1]));
    EXPECT_EQ(node.text->runs[1].start, 3);
}

// While the input method shows pre-edit text at the caret, the characters after it are
// reported where they are drawn (after the pre-edit), and the pre-edit is not among them.
TEST_F(PointerEditing, CharacterRectanglesFollowThePreeditText) {
    input.set_text("abcdef");
    input.set_cursor_pos(3);
    auto before = input.accessibility("field", "Field").text->character_rects;
    ASSERT_EQ(before.size(), 6u);
    input.handle_event(PreeditEvent{"XYZ", 3});
    auto during = input.accessibility("field", "Field").text->character_rects;
    ASSERT_EQ(during.size(), 6u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(during[i], before[i]) << i;
    Rect preedit_end = renderer().caret_rect("abcXYZdef", 15, 400 - 24, 6);
    for (size_t i = 3; i < 6; ++i) EXPECT_GT(during[i].x, before[i].x) << i;
    EXPECT_DOUBLE_EQ(during[3].x, input.bounds().x + 12 + preedit_end.x);
    EXPECT_NEAR(during[3].width, before[3].width, 0.5);
    input.handle_event(TextEvent{"XYZ"});
    auto after = input.accessibility("field", "Field").text->character_rects;
    ASSERT_EQ(after.size(), 9u);
    EXPECT_EQ(after[6], during[3]) << "committed, the text stays where the pre-edit showed it";
}
