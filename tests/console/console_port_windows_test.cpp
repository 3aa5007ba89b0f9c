// The real Windows console port against the console this test runs in (a
// Windows console, or Wine's in a terminal).  Skipped where no console is
// attached and none can be made.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console_port.h"
#include "platform/windows/win32.h"

namespace vtrl {
namespace {

class WindowsPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port = NativeConsolePort();
        out = port->GetStdHandle(StdHandle::kOutput);
        if (out == InvalidConsoleHandle() || !port->GetScreenBufferInfo(out, &info)) {
            // Started without a console (as by a test runner): make one, as
            // the program does; under Wine it has a buffer but no window.
            port->AllocConsole();
            out = port->GetStdHandle(StdHandle::kOutput);
        }
        if (out == InvalidConsoleHandle() || !port->GetScreenBufferInfo(out, &info)) {
            // Output redirected away from the console: reach its screen buffer by name.
            screen_buffer = ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
            out = screen_buffer;
        }
        if (out == InvalidConsoleHandle() || !port->GetScreenBufferInfo(out, &info)) {
            if (std::getenv("VTRL_REQUIRE_CONSOLE") != nullptr) {
                FAIL() << "no console, though the run asks for one";
            }
            GTEST_SKIP() << "no console attached to this process";
        }
        if (info.size.x < 20 || info.size.y < 10) {
            GTEST_SKIP() << "console too small for the checks";
        }
    }

    void TearDown() override {
        if (screen_buffer != INVALID_HANDLE_VALUE) {
            ::CloseHandle(screen_buffer);
        }
    }

    HANDLE screen_buffer = INVALID_HANDLE_VALUE;
    ConsolePort* port = nullptr;
    ConsoleHandle out = nullptr;
    ScreenBufferInfo info{};
};

TEST_F(WindowsPortTest, CellRectanglesGoOutAndComeBackUnchanged) {
    ConsoleCell written[6] = {{'a', 0x1F}, {'\xC9', 0x0F}, {'c', 0x2E},
                              {'d', 0x4F}, {'\xBA', 0x07}, {' ', 0x70}};
    CellRect rect{2, 1, 4, 2};
    ASSERT_TRUE(port->WriteCells(out, written, CellCoord{3, 2}, &rect));
    ConsoleCell read[6] = {};
    CellRect back{2, 1, 4, 2};
    ASSERT_TRUE(port->ReadCells(out, read, CellCoord{3, 2}, &back));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(read[i].ch, written[i].ch) << i;
        EXPECT_EQ(read[i].attribute & 0xFF, written[i].attribute) << i;
    }
    EXPECT_EQ(back.right, 4);
    EXPECT_EQ(back.bottom, 2);
}

TEST_F(WindowsPortTest, CharactersTakeTheCurrentAttributeAndAdvanceTheCursor) {
    ASSERT_TRUE(port->SetTextAttribute(out, 0x2E));
    ASSERT_TRUE(port->SetCursorPosition(out, CellCoord{5, 3}));
    uint32_t written = 0;
    ASSERT_TRUE(port->WriteChars(out, "xy", 2, &written));
    EXPECT_EQ(written, 2u);
    ScreenBufferInfo now{};
    ASSERT_TRUE(port->GetScreenBufferInfo(out, &now));
    EXPECT_EQ(now.cursor.x, 7);
    EXPECT_EQ(now.cursor.y, 3);
    ConsoleCell read[2] = {};
    CellRect rect{5, 3, 6, 3};
    ASSERT_TRUE(port->ReadCells(out, read, CellCoord{2, 1}, &rect));
    EXPECT_EQ(read[0].ch, 'x');
    EXPECT_EQ(read[1].ch, 'y');
    EXPECT_EQ(read[0].attribute & 0xFF, 0x2E);
    port->SetTextAttribute(out, info.attribute);
}

TEST_F(WindowsPortTest, ScrollMovesRowsUpAndFillsTheVacatedRow) {
    ConsoleCell rows[6] = {{'1', 0x1F}, {'1', 0x1F}, {'2', 0x1F},
                           {'2', 0x1F}, {'3', 0x1F}, {'3', 0x1F}};
    CellRect rect{10, 4, 11, 6};
    ASSERT_TRUE(port->WriteCells(out, rows, CellCoord{2, 3}, &rect));
    const CellRect region{10, 4, 11, 6};
    const CellRect below_top{10, 5, 11, 6};
    ASSERT_TRUE(
        port->ScrollCells(out, below_top, &region, CellCoord{10, 4}, ConsoleCell{'.', 0x4E}));
    ConsoleCell read[6] = {};
    CellRect back{10, 4, 11, 6};
    ASSERT_TRUE(port->ReadCells(out, read, CellCoord{2, 3}, &back));
    EXPECT_EQ(read[0].ch, '2');
    EXPECT_EQ(read[2].ch, '3');
    EXPECT_EQ(read[4].ch, '.');
    EXPECT_EQ(read[5].attribute & 0xFF, 0x4E);
}

TEST_F(WindowsPortTest, TitleAndSystemTexts) {
    ASSERT_TRUE(port->SetTitle("vtrl console port check"));
    char title[64] = {};
    ::GetConsoleTitleA(title, sizeof(title));
    EXPECT_STREQ(title, "vtrl console port check");

    char* text = nullptr;
    const uint32_t length = port->FormatSystemMessage(
        kFormatAllocateBuffer | kFormatFromSystem | 40, ERROR_ACCESS_DENIED, 0x400, 512, &text);
    ASSERT_NE(length, 0u);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    port->FreeSystemMessage(text);

    const CellCoord largest = port->GetLargestWindowSize(out);
    EXPECT_GT(largest.x, 0);
    EXPECT_GT(largest.y, 0);
}

}  // namespace
}  // namespace vtrl
