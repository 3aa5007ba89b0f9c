#include <cstdlib>
#include <string>
#include <vector>

#include "console/dconsole.h"
#include "console/popup_window.h"
#include "tests/common/test_hooks.h"
#include "tests/console/console_test_fixture.h"

namespace vtrl::test {
namespace {

constexpr char kDoubleTopLeft = '\xC9';
constexpr char kDoubleTopRight = '\xBB';
constexpr char kDoubleBottomLeft = '\xC8';
constexpr char kDoubleBottomRight = '\xBC';
constexpr char kDoubleHorizontal = '\xCD';
constexpr char kDoubleVertical = '\xBA';

class PopupWindowTest : public ConsoleTest {
  protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        InitScreen();
        // A busy background in several attributes, so that every restored
        // cell is checked for its own character and colour.
        for (int row = 1; row <= 39; ++row) {
            SetTextAttribute(static_cast<uint8_t>(0x10 + row % 7));
            MoveCursor(1, row);
            std::string line;
            for (int column = 1; column <= 80; ++column) {
                line += static_cast<char>('!' + (row * 7 + column) % 90);
            }
            // The last row goes without its last character: writing the cell
            // (80, 39) would park the cursor on row 40, outside the region.
            WriteText(row < 39 ? line.c_str() : line.substr(0, 79).c_str());
        }
        SetTextAttribute(0x1F);
        MoveCursor(1, 1);
        background = console.Snapshot();
        initial_state = State();
    }

    void ExpectFrame(int left, int top, int right, int bottom, const char* corners, char horizontal,
                     char vertical) {
        EXPECT_EQ(console.CharAt(left, top), corners[0]);
        EXPECT_EQ(console.CharAt(right, top), corners[1]);
        EXPECT_EQ(console.CharAt(left, bottom), corners[2]);
        EXPECT_EQ(console.CharAt(right, bottom), corners[3]);
        for (int column = left + 1; column < right; ++column) {
            ASSERT_EQ(console.CharAt(column, top), horizontal) << column;
            ASSERT_EQ(console.CharAt(column, bottom), horizontal) << column;
        }
        for (int row = top + 1; row < bottom; ++row) {
            ASSERT_EQ(console.CharAt(left, row), vertical) << row;
            ASSERT_EQ(console.CharAt(right, row), vertical) << row;
        }
    }

    // True when every cell outside the rectangle is as in the background.
    bool OutsideUntouched(int left, int top, int right, int bottom) const {
        const std::vector<ConsoleCell> now = console.Snapshot();
        for (int row = 1; row <= 40; ++row) {
            for (int column = 1; column <= 80; ++column) {
                if (column >= left && column <= right && row >= top && row <= bottom) {
                    continue;
                }
                const size_t i = static_cast<size_t>(row - 1) * 80 + (column - 1);
                if (now[i].ch != background[i].ch || now[i].attribute != background[i].attribute) {
                    return false;
                }
            }
        }
        return true;
    }

    std::vector<ConsoleCell> background;
    ConsoleState initial_state{};
};

TEST_F(PopupWindowTest, MessageBoxOf51By11) {
    ShowMessageWindow(" Hello", 51, 11);
    const char corners[] = {kDoubleTopLeft, kDoubleTopRight, kDoubleBottomLeft, kDoubleBottomRight};
    ExpectFrame(16, 15, 66, 25, corners, kDoubleHorizontal, kDoubleVertical);
    EXPECT_EQ(console.AttributeAt(16, 15), 0x0F);
    EXPECT_EQ(console.AttributeAt(66, 20), 0x0F);
    EXPECT_EQ(console.AttributeAt(40, 25), 0x0F);
    // The interior is blank bright white on blue, the text at its top-left.
    EXPECT_EQ(console.Text(16, 17, 22), " Hello");
    EXPECT_EQ(console.Text(16, 23, 65), std::string(43, ' '));
    EXPECT_EQ(console.Text(24, 17, 65), std::string(49, ' '));
    EXPECT_EQ(console.AttributeAt(17, 16), 0x1F);
    EXPECT_EQ(console.AttributeAt(65, 24), 0x1F);
    EXPECT_TRUE(OutsideUntouched(16, 15, 66, 25));
    const ConsoleState state = State();
    EXPECT_EQ(state.left, 17);
    EXPECT_EQ(state.top, 16);
    EXPECT_EQ(state.right, 65);
    EXPECT_EQ(state.bottom, 24);
    // The underline cursor waits right after the text.
    EXPECT_EQ(console.CursorPosition().column, 23);
    EXPECT_EQ(console.CursorPosition().row, 16);
    EXPECT_TRUE(console.CursorVisible());
    EXPECT_EQ(console.CursorSize(), 10u);
    ASSERT_EQ(console.MessageTexts().size(), 1u);
    EXPECT_EQ(console.MessageTexts()[0], " Hello");
}

TEST_F(PopupWindowTest, CursorAfterATextEndingInCrLfIsOnTheNextRow) {
    ShowMessageWindow(" Press a key\r\n", 51, 11);
    EXPECT_EQ(console.CursorPosition().column, 17);
    EXPECT_EQ(console.CursorPosition().row, 17);
    EXPECT_TRUE(console.CursorVisible());
}

TEST_F(PopupWindowTest, MessageBoxOf68By10) {
    ShowMessageWindow("x", 68, 10);
    const char corners[] = {kDoubleTopLeft, kDoubleTopRight, kDoubleBottomLeft, kDoubleBottomRight};
    ExpectFrame(7, 15, 74, 24, corners, kDoubleHorizontal, kDoubleVertical);
    EXPECT_EQ(console.CharAt(8, 16), 'x');
    EXPECT_TRUE(OutsideUntouched(7, 15, 74, 24));
}

struct BoxCase {
    uint16_t width, height;
    int left, top, right, bottom;
};

TEST_F(PopupWindowTest, SizesAreClampedAndCentred) {
    const BoxCase cases[] = {{80, 39, 1, 1, 80, 39},   {200, 100, 1, 1, 80, 39},
                             {0, 0, 41, 20, 41, 20},   {1, 1, 41, 20, 41, 20},
                             {50, 10, 16, 15, 65, 24}, {3, 3, 40, 19, 42, 21},
                             {65535, 0, 1, 20, 80, 20}};
    for (const BoxCase& c : cases) {
        ShowMessageWindow("", c.width, c.height);
        const WindowStackEntry* top = TopWindowEntry();
        ASSERT_NE(top, nullptr);
        EXPECT_EQ(top->left, c.left) << c.width << "x" << c.height;
        EXPECT_EQ(top->top, c.top) << c.width << "x" << c.height;
        EXPECT_EQ(top->right, c.right) << c.width << "x" << c.height;
        EXPECT_EQ(top->bottom, c.bottom) << c.width << "x" << c.height;
        EXPECT_TRUE(OutsideUntouched(c.left, c.top, c.right, c.bottom));
        EXPECT_TRUE(CloseMessageWindow());
        EXPECT_TRUE(SameCells(console.Snapshot(), background));
    }
}

TEST_F(PopupWindowTest, BoxWithoutInteriorShowsNoTextAndClosesCleanly) {
    ShowMessageWindow("no room", 2, 1);
    EXPECT_FALSE(console.Contains("no room"));
    EXPECT_TRUE(CloseMessageWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
    EXPECT_TRUE(State() == initial_state);
}

TEST_F(PopupWindowTest, FrameStyleChoosesTheCharacters) {
    const char single[] = {'\xDA', '\xBF', '\xC0', '\xD9'};
    for (int style : {1, 5, 0xFF}) {
        WindowTemplate window{0x2F, (style << 8) | 0x4E, 10, 5, 30, 12};
        ASSERT_TRUE(OpenPopupWindow(window));
        ExpectFrame(10, 5, 30, 12, single, '\xC4', '\xB3');
        EXPECT_EQ(console.AttributeAt(10, 8), 0x4E);
        EXPECT_EQ(console.AttributeAt(11, 8), 0x2F);
        EXPECT_EQ(State().attribute, 0x2F);
        ConsolePrint("in");
        EXPECT_EQ(console.Text(6, 11, 12), "in");
        ASSERT_TRUE(ClosePopupWindow());
    }
    // Style 0: no frame, and the region is the whole box.
    WindowTemplate plain{0x2F, 0x000F, 10, 5, 30, 12};
    ASSERT_TRUE(OpenPopupWindow(plain));
    ConsolePrint("corner");
    EXPECT_EQ(console.Text(5, 10, 15), "corner");
    EXPECT_EQ(console.Text(12, 10, 30), std::string(21, ' '));
    EXPECT_EQ(console.AttributeAt(30, 12), 0x2F);
    ASSERT_TRUE(ClosePopupWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
}

TEST_F(PopupWindowTest, TwoWindowsClosedInTurnGiveBackEveryCell) {
    MoveCursor(5, 7);
    SetTextAttribute(0x3A);
    const ConsoleState before = State();

    WindowTemplate lower{0x1F, 0x020F, 5, 3, 60, 20};
    ASSERT_TRUE(OpenPopupWindow(lower));
    for (int i = 0; i < 30; ++i) {
        ConsolePrint("lower window line %d, long enough to wrap around the right edge\r\n", i);
    }
    const std::vector<ConsoleCell> with_lower = console.Snapshot();
    const ConsoleState lower_state = State();

    ShowMessageWindow("", 51, 11);
    for (int i = 0; i < 25; ++i) {
        ConsolePrint("message line %d\r\n", i);
    }
    EXPECT_EQ(OpenWindowCount(), 2);
    ASSERT_TRUE(CloseMessageWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), with_lower));
    EXPECT_TRUE(State() == lower_state);

    ASSERT_TRUE(ClosePopupWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
    EXPECT_TRUE(State() == before);
    EXPECT_EQ(OpenWindowCount(), 0);
    EXPECT_EQ(TopWindowEntry(), nullptr);
    EXPECT_EQ(BottomWindowEntry(), nullptr);
}

TEST_F(PopupWindowTest, MessageScrollsInsideItsInteriorOnly) {
    std::string text;
    for (int i = 1; i <= 12; ++i) {
        text += "row " + std::to_string(i) + (i < 12 ? "\r\n" : "");
    }
    ShowMessageWindow(text.c_str(), 51, 11);
    EXPECT_EQ(console.Text(16, 17, 22), "row 4 ");
    EXPECT_EQ(console.Text(24, 17, 22), "row 12");
    const char corners[] = {kDoubleTopLeft, kDoubleTopRight, kDoubleBottomLeft, kDoubleBottomRight};
    ExpectFrame(16, 15, 66, 25, corners, kDoubleHorizontal, kDoubleVertical);
    EXPECT_TRUE(OutsideUntouched(16, 15, 66, 25));
}

TEST_F(PopupWindowTest, ProgressWindowCarriesOnAfterAMessageOverIt) {
    ASSERT_TRUE(OpenPopupWindow(kProgressWindowTemplate));
    ConsolePrint(" Downloading: ");
    MoveCursor(1, 2);
    ClearToEndOfLine();
    ConsolePrint(" Remaining blocks: %d  Retries: %d", 600, 0);
    MoveCursor(1, 1);
    const std::vector<ConsoleCell> progress = console.Snapshot();

    ShowMessageWindow(" Block 17 failed, retrying.\r\n Press a key", 51, 11);
    EXPECT_TRUE(console.Contains(" Block 17 failed"));
    ASSERT_TRUE(CloseMessageWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), progress));

    // The progress window's cursor is where it was: (1, 1) of its interior.
    MoveCursor(1, 2);
    ClearToEndOfLine();
    ConsolePrint(" Remaining blocks: %d  Retries: %d", 599, 1);
    EXPECT_EQ(console.Text(12, 16, 49), " Remaining blocks: 599  Retries: 1");
    EXPECT_EQ(console.Text(11, 16, 29), " Downloading: ");
    EXPECT_EQ(console.CharAt(65, 12), kDoubleVertical);
    ASSERT_TRUE(ClosePopupWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
}

TEST_F(PopupWindowTest, RectanglesOutsideTheUsableScreenAreRefused) {
    const WindowTemplate refused[] = {
        {0x1F, 0x020F, 10, 30, 40, 40}, {0x1F, 0x020F, 0, 5, 40, 10},
        {0x1F, 0x020F, 10, 5, 81, 10},  {0x1F, 0x020F, 40, 5, 39, 10},
        {0x1F, 0x020F, 10, 12, 40, 11}, {0x1F, 0x020F, 10, 0, 40, 11}};
    for (const WindowTemplate& window : refused) {
        EXPECT_FALSE(OpenPopupWindow(window));
        EXPECT_EQ(OpenWindowCount(), 0);
        EXPECT_TRUE(SameCells(console.Snapshot(), background));
        EXPECT_TRUE(State() == initial_state);
    }
}

TEST_F(PopupWindowTest, ClosingWithNoWindowOpenChangesNothing) {
    EXPECT_FALSE(ClosePopupWindow());
    EXPECT_FALSE(CloseMessageWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
    EXPECT_TRUE(State() == initial_state);
}

TEST_F(PopupWindowTest, BrokenLinksRefuseTheClose) {
    ShowMessageWindow("first", 51, 11);
    ShowMessageWindow("second", 30, 5);
    const std::vector<ConsoleCell> screen = console.Snapshot();
    const ConsoleState state = State();
    WindowStackEntry* top = TopWindowEntry();
    ASSERT_NE(top, nullptr);
    WindowStackEntry* older = top->next;
    ASSERT_NE(older, nullptr);
    EXPECT_EQ(older->prev, top);
    EXPECT_EQ(BottomWindowEntry(), older);

    older->prev = nullptr;  // the older entry no longer points back
    EXPECT_FALSE(ClosePopupWindow());
    EXPECT_EQ(TopWindowEntry(), top);
    EXPECT_TRUE(SameCells(console.Snapshot(), screen));
    EXPECT_TRUE(State() == state);

    older->prev = top;
    EXPECT_TRUE(ClosePopupWindow());
    EXPECT_TRUE(ClosePopupWindow());
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
    EXPECT_FALSE(LinkWindowEntry(nullptr));
}

struct Allocations {
    static std::vector<size_t> sizes;
    static int live;
    static bool exhausted;
    static void* Allocate(size_t size) {
        if (exhausted) {
            return nullptr;
        }
        sizes.push_back(size);
        ++live;
        return std::malloc(size);
    }
    static void Release(void* block) {
        --live;
        std::free(block);
    }
};
std::vector<size_t> Allocations::sizes;
int Allocations::live = 0;
bool Allocations::exhausted = false;

class WindowMemoryTest : public PopupWindowTest {
  protected:
    void SetUp() override {
        PopupWindowTest::SetUp();
        Allocations::sizes.clear();
        Allocations::live = 0;
        Allocations::exhausted = false;
        SetWindowMemory(Allocations::Allocate, Allocations::Release);
    }
    void TearDown() override {
        ResetConsoleState();
        SetWindowMemory(nullptr, nullptr);
    }
};

// Each open window holds memory until it is closed, whatever its size.
TEST_F(WindowMemoryTest, EveryWindowGivesItsMemoryBackWhenClosed) {
    ShowMessageWindow("a", 51, 11);
    ASSERT_TRUE(OpenPopupWindow(kProgressWindowTemplate));
    ShowMessageWindow("b", 80, 39);
    EXPECT_EQ(Allocations::live, 3);
    while (CloseMessageWindow()) {
    }
    EXPECT_EQ(Allocations::live, 0);
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
}

TEST_F(WindowMemoryTest, ExhaustedMemoryRefusesTheWindowWithNothingChanged) {
    Allocations::exhausted = true;
    EXPECT_FALSE(OpenPopupWindow(kProgressWindowTemplate));
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
    EXPECT_TRUE(State() == initial_state);
    // A message then lands at the cursor of the region that was current.
    ShowMessageWindow("fallback", 51, 11);
    EXPECT_EQ(console.Text(1, 1, 8), "fallback");
}

TEST_F(WindowMemoryTest, ResetFreesOpenWindows) {
    ShowMessageWindow("a", 51, 11);
    ShowMessageWindow("b", 51, 11);
    ResetConsoleState();
    EXPECT_EQ(Allocations::live, 0);
    EXPECT_EQ(OpenWindowCount(), 0);
}

TEST_F(PopupWindowTest, AbortMessageWaitsForAKeyAndCloses) {
    console.PushKeys("q");
    ShowAbortMessage(" Erase failed.");
    ASSERT_EQ(console.MessageTexts().size(), 1u);
    EXPECT_EQ(console.MessageTexts()[0],
              " Erase failed.\r\n Download aborted.\r\n Please press a key...");
    EXPECT_EQ(console.PendingKeys(), 0u);
    EXPECT_EQ(OpenWindowCount(), 0);
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
}

TEST_F(PopupWindowTest, AbortMessageShowsItsLinesWhileWaiting) {
    std::vector<std::string> rows;
    console.SetKeyReadHook([&rows](const FakeConsole& screen) {
        for (int row = 16; row <= 18; ++row) {
            rows.push_back(screen.Text(row, 17, 40));
        }
    });
    console.PushKeys(" ");
    ShowAbortMessage(" Erase failed.");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], " Erase failed.          ");
    EXPECT_EQ(rows[1], " Download aborted.      ");
    EXPECT_EQ(rows[2], " Please press a key...  ");
}

TEST_F(PopupWindowTest, LongAbortTextIsCutToFitAndKeepsItsEnding) {
    console.PushKeys("k");
    const std::string path(600, 'p');
    const std::string text = "Cannot open program file " + path + ".";
    ShowAbortMessage(text.c_str());
    ASSERT_EQ(console.MessageTexts().size(), 1u);
    const std::string& shown = console.MessageTexts()[0];
    EXPECT_EQ(shown.size(), 255u);
    const std::string ending = "\r\n Download aborted.\r\n Please press a key...";
    EXPECT_EQ(shown.substr(shown.size() - ending.size()), ending);
    EXPECT_EQ(shown.substr(0, 25), "Cannot open program file ");
    EXPECT_TRUE(SameCells(console.Snapshot(), background));
}

}  // namespace
}  // namespace vtrl::test
