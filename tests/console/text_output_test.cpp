#include <string>

#include "console/dconsole.h"
#include "console/text_output.h"
#include "tests/common/test_hooks.h"
#include "tests/console/console_test_fixture.h"

namespace vtrl::test {
namespace {

// The interior of a 51 by 11 message box: columns 17..65, rows 16..24 (49 by 9).
class TextOutputTest : public ConsoleTest {
  protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        InitScreen();
        SetWindowRegion(17, 16, 65, 24);
        MoveCursor(1, 1);
    }
};

TEST_F(TextOutputTest, OutOfRangeMovesChangeNothing) {
    MoveCursor(3, 2);
    const ConsoleState before = State();
    const ScreenPosition cursor = console.CursorPosition();
    const std::initializer_list<std::pair<int, int>> refused = {{0, 1},  {1, 0},  {50, 1},
                                                                {1, 11}, {-5, 3}, {2, 1 << 30}};
    for (auto [column, row] : refused) {
        MoveCursor(column, row);
        EXPECT_TRUE(State() == before) << column << "," << row;
        EXPECT_EQ(console.CursorPosition().column, cursor.column);
        EXPECT_EQ(console.CursorPosition().row, cursor.row);
        EXPECT_TRUE(console.CursorVisible());
    }
}

TEST_F(TextOutputTest, AcceptedMovePlacesAVisibleUnderlineCursor) {
    MoveCursor(49, 9);
    EXPECT_EQ(console.CursorPosition().column, 65);
    EXPECT_EQ(console.CursorPosition().row, 24);
    EXPECT_TRUE(console.CursorVisible());
    EXPECT_EQ(console.CursorSize(), 10u);
    EXPECT_FALSE(CursorBelowRegion());
}

TEST_F(TextOutputTest, PendingRowHidesTheCursorWithoutMovingIt) {
    MoveCursor(5, 3);
    MoveCursor(1, 10);
    EXPECT_EQ(State().cursor_row, 10);
    EXPECT_TRUE(CursorBelowRegion());
    EXPECT_FALSE(console.CursorVisible());
    EXPECT_EQ(console.CursorPosition().column, 21);
    EXPECT_EQ(console.CursorPosition().row, 18);
}

TEST_F(TextOutputTest, FullRowThenCrLfStartsTheNextRow) {
    WriteText((std::string(49, 'a') + "\r\n").c_str());
    EXPECT_EQ(State().cursor_column, 1);
    EXPECT_EQ(State().cursor_row, 2);
    EXPECT_EQ(console.Text(16, 17, 65), std::string(49, 'a'));
    EXPECT_EQ(console.CharAt(66, 16), ' ');
}

// The wrap and the line feed each move down one row.  On the last row both go
// past the region: it scrolls twice and the next text stays inside it, not on
// the cell right of the region where the console's cursor was left.
TEST_F(TextOutputTest, FullRowThenLineFeedLeavesOneEmptyRow) {
    WriteText((std::string(49, 'a') + "\nb").c_str());
    EXPECT_EQ(console.Text(17, 17, 65), std::string(49, ' '));
    EXPECT_EQ(console.CharAt(17, 18), 'b');
    EXPECT_EQ(State().cursor_row, 3);

    ClearWindow();
    MoveCursor(1, 9);
    WriteText((std::string(49, 'a') + "\nb").c_str());
    EXPECT_EQ(console.Text(22, 17, 65), std::string(49, 'a'));
    EXPECT_EQ(console.Text(23, 17, 65), std::string(49, ' '));
    EXPECT_EQ(console.CharAt(17, 24), 'b');
    EXPECT_EQ(console.CharAt(66, 24), ' ');
    EXPECT_EQ(State().cursor_row, 9);
    EXPECT_EQ(State().cursor_column, 2);
    EXPECT_FALSE(CursorBelowRegion());
}

TEST_F(TextOutputTest, LineFeedAloneKeepsTheColumn) {
    WriteText("ab\ncd");
    EXPECT_EQ(console.Text(16, 17, 18), "ab");
    EXPECT_EQ(console.Text(17, 17, 20), "  cd");
    // Line feed then carriage return ends where carriage return and line feed do.
    WriteText("\n\rx");
    EXPECT_EQ(console.CharAt(17, 18), 'x');
}

TEST_F(TextOutputTest, CarriageReturnRewritesTheRow) {
    WriteText("12345\rab");
    EXPECT_EQ(console.Text(16, 17, 21), "ab345");
    EXPECT_EQ(State().cursor_column, 3);
}

TEST_F(TextOutputTest, LongTextWrapsAtTheRegionEdge) {
    WriteText((std::string(49, 'a') + "bc").c_str());
    EXPECT_EQ(console.Text(17, 17, 18), "bc");
    EXPECT_EQ(console.CharAt(66, 16), ' ');
    EXPECT_EQ(console.CursorPosition().column, 19);
    EXPECT_EQ(console.CursorPosition().row, 17);
}

TEST_F(TextOutputTest, LineFeedOnTheLastRowScrollsOnlyTheRegion) {
    SetWindowRegion(1, 1, 80, 39);
    MoveCursor(1, 15);
    WriteText(std::string(80 * 11, '#').c_str());  // rows 15..25, around the region
    SetWindowRegion(17, 16, 65, 24);
    ClearWindow();
    const std::vector<ConsoleCell> outside_before = console.Snapshot();
    for (int row = 1; row <= 9; ++row) {
        WriteText(("line" + std::to_string(row) + (row < 9 ? "\r\n" : "")).c_str());
    }
    SetTextAttribute(0x2E);
    WriteText("\r\n");
    EXPECT_EQ(State().cursor_row, 9);
    EXPECT_EQ(State().cursor_column, 1);
    EXPECT_EQ(console.Text(16, 17, 21), "line2");
    EXPECT_EQ(console.Text(23, 17, 21), "line9");
    EXPECT_EQ(console.Text(24, 17, 65), std::string(49, ' '));
    EXPECT_EQ(console.AttributeAt(17, 24), 0x2E);
    EXPECT_EQ(console.AttributeAt(65, 24), 0x2E);
    // Everything outside the region is as it was.
    const std::vector<ConsoleCell> after = console.Snapshot();
    for (int row = 1; row <= 40; ++row) {
        for (int column = 1; column <= 80; ++column) {
            if (column >= 17 && column <= 65 && row >= 16 && row <= 24) {
                continue;
            }
            const size_t i = static_cast<size_t>(row - 1) * 80 + (column - 1);
            ASSERT_EQ(after[i].ch, outside_before[i].ch) << column << "," << row;
            ASSERT_EQ(after[i].attribute, outside_before[i].attribute) << column << "," << row;
        }
    }
}

TEST_F(TextOutputTest, SuppressedScrollParksTheCursorOnThePendingRow) {
    MoveCursor(40, 9);
    SetScrollSuppression(true);
    WriteText(std::string(10, 'z').c_str());
    SetScrollSuppression(false);
    EXPECT_EQ(console.Text(24, 56, 65), std::string(10, 'z'));
    EXPECT_EQ(console.Text(16, 17, 65), std::string(49, ' '));  // nothing scrolled
    EXPECT_EQ(State().cursor_row, 10);
    EXPECT_EQ(State().cursor_column, 1);
    EXPECT_TRUE(CursorBelowRegion());
    EXPECT_FALSE(console.CursorVisible());
}

TEST_F(TextOutputTest, WritingTheBottomRightCellOfTheScreenNeverScrollsIt) {
    SetWindowRegion(1, 1, 80, 39);
    MoveCursor(1, 1);
    WriteText("top");
    MoveCursor(80, 39);
    SetScrollSuppression(true);
    WriteText("x");
    SetScrollSuppression(false);
    EXPECT_EQ(console.Text(1, 1, 3), "top");
    EXPECT_EQ(console.CharAt(80, 39), 'x');
}

TEST_F(TextOutputTest, ClearToEndOfLineBlanksToTheEdgeAndKeepsTheCursor) {
    WriteText(std::string(49, 'q').c_str());
    MoveCursor(1, 1);
    const int writes = console.CallCount(ConsoleCall::kWriteChars);
    ClearToEndOfLine();
    EXPECT_EQ(console.CallCount(ConsoleCall::kWriteChars), writes + 1);
    EXPECT_EQ(console.Text(16, 17, 65), std::string(49, ' '));
    EXPECT_EQ(State().cursor_column, 1);
    EXPECT_EQ(console.CursorPosition().column, 17);
    EXPECT_EQ(console.CursorPosition().row, 16);
    // From the middle only the rest goes.
    WriteText("abcdef");
    MoveCursor(4, 1);
    ClearToEndOfLine();
    EXPECT_EQ(console.Text(16, 17, 22), "abc   ");
}

TEST_F(TextOutputTest, ClearWindowBlanksTheRegionInTheCurrentAttribute) {
    SetWindowRegion(1, 1, 80, 39);
    MoveCursor(1, 1);
    WriteText(std::string(80 * 39, 'w').c_str());
    SetWindowRegion(17, 16, 65, 24);
    SetTextAttribute(0x4E);
    MoveCursor(7, 7);
    ClearWindow();
    EXPECT_EQ(State().cursor_column, 1);
    EXPECT_EQ(State().cursor_row, 1);
    EXPECT_EQ(console.Text(16, 16, 66), "w" + std::string(49, ' ') + "w");
    EXPECT_EQ(console.Text(24, 17, 65), std::string(49, ' '));
    EXPECT_EQ(console.AttributeAt(65, 24), 0x4E);
    EXPECT_EQ(console.CharAt(17, 15), 'w');
    EXPECT_EQ(console.CharAt(17, 25), 'w');
}

TEST_F(TextOutputTest, EmptyTextTouchesNothing) {
    MoveCursor(4, 5);
    const int moves = console.CallCount(ConsoleCall::kSetCursorPosition);
    WriteText("");
    EXPECT_EQ(State().cursor_column, 4);
    EXPECT_EQ(State().cursor_row, 5);
    EXPECT_EQ(console.CallCount(ConsoleCall::kSetCursorPosition), moves);
}

TEST_F(TextOutputTest, ConsolePrintFormatsAndIsBoundedBy999Characters) {
    EXPECT_EQ(ConsolePrint(" Remaining blocks: %d  Retries: %d", 512, 3), 34);
    EXPECT_TRUE(console.Contains(" Remaining blocks: 512  Retries: 3"));

    SetWindowRegion(1, 1, 80, 39);
    ClearWindow();
    const std::string huge(5000, 'x');
    EXPECT_EQ(ConsolePrint("%s", huge.c_str()), 999);
    int shown = 0;
    for (const ConsoleCell& cell : console.Snapshot()) {
        shown += cell.ch == 'x';
    }
    EXPECT_EQ(shown, 999);
}

TEST_F(TextOutputTest, SetTextAttributeColoursFollowingText) {
    EXPECT_TRUE(SetTextAttribute(0x4F));
    EXPECT_EQ(State().attribute, 0x4F);
    WriteText("R");
    EXPECT_EQ(console.AttributeAt(17, 16), 0x4F);
    console.FailCall(ConsoleCall::kSetTextAttribute, 6);
    EXPECT_FALSE(SetTextAttribute(0x1F));
}

TEST_F(TextOutputTest, CrossedRegionTakesNoTextAndDoesNotHang) {
    SetWindowRegion(42, 21, 40, 19);
    WriteText("text with nowhere to go");
    ClearToEndOfLine();
    ClearWindow();
    EXPECT_FALSE(console.Contains("text"));
}

TEST_F(TextOutputTest, DelayWaitsOnTheVirtualClock) {
    const uint64_t start = clock.NowMs();
    Delay(5000);
    Delay(100);
    EXPECT_EQ(clock.NowMs() - start, 5100u);
}

TEST_F(TextOutputTest, ReadKeyTakesScriptedKeysInOrder) {
    console.PushKeys("yN");
    EXPECT_EQ(ReadKey(), 'y');
    EXPECT_EQ(ReadKey(), 'N');
}

}  // namespace
}  // namespace vtrl::test
