#include <string>

#include "console/dconsole.h"
#include "tests/console/console_test_fixture.h"

namespace vtrl::test {
namespace {

using SetupTest = ConsoleTest;

TEST_F(SetupTest, FreshConsoleIsKeptAndSetUp) {
    console.SetInputModeValue(0x01F7);
    ASSERT_TRUE(InitConsole("WIN32 Vantrel Program Upgrade Version 1.006"));

    EXPECT_EQ(console.CallCount(ConsoleCall::kFreeConsole), 0);
    EXPECT_EQ(console.CallCount(ConsoleCall::kAllocConsole), 0);
    EXPECT_EQ(console.Title(), "WIN32 Vantrel Program Upgrade Version 1.006");
    // Line input, echo and QuickEdit off, window and mouse input and the
    // extended flags (which make the QuickEdit bit count) on, the rest as it was.
    EXPECT_EQ(console.InputMode(), 0x01B9u);
    EXPECT_EQ(console.BufferSize().x, 80);
    EXPECT_EQ(console.BufferSize().y, 40);
    EXPECT_FALSE(console.CursorVisible());
    EXPECT_EQ(console.CursorSize(), 100u);
    EXPECT_EQ(console.CursorPosition().column, 1);
    EXPECT_EQ(console.CursorPosition().row, 1);
    for (const ConsoleCell& cell : console.Snapshot()) {
        ASSERT_EQ(cell.ch, ' ');
        ASSERT_EQ(cell.attribute, 0x1F);
    }
    EXPECT_TRUE(console.MessageBoxes().empty());
}

TEST_F(SetupTest, ConsoleOfACommandPromptIsReplacedByAnOwnOne) {
    console.SetStartCursor(0, 12);
    ASSERT_TRUE(InitConsole("t"));
    EXPECT_EQ(console.CallCount(ConsoleCall::kFreeConsole), 1);
    EXPECT_EQ(console.CallCount(ConsoleCall::kAllocConsole), 1);
    // The new console (80 by 25) ends at exactly 80 by 40 as well.
    EXPECT_EQ(console.BufferSize().x, 80);
    EXPECT_EQ(console.BufferSize().y, 40);
    EXPECT_EQ(console.Window().bottom, 39);
    EXPECT_EQ(console.Title(), "t");
}

TEST_F(SetupTest, Windows31HostIsRefused) {
    console.SetVersion(0x80000003);
    EXPECT_FALSE(InitConsole("t"));
    ASSERT_EQ(console.MessageBoxes().size(), 1u);
    EXPECT_EQ(console.MessageBoxes()[0].text,
              "This application cannot run on Windows 3.1.\nThis application will now terminate.");
    EXPECT_EQ(console.MessageBoxes()[0].caption, "Error: Windows NT Required to Run");
    EXPECT_EQ(console.MessageBoxes()[0].flags, kMessageBoxOk);
    EXPECT_EQ(console.CallCount(ConsoleCall::kSetTitle), 0);
    EXPECT_EQ(console.CallCount(ConsoleCall::kGetScreenBufferInfo), 0);
}

TEST_F(SetupTest, OtherNonNtHostsAndNtHostsAreAccepted) {
    console.SetVersion(0x80000004);  // not NT, but not 3.x either
    EXPECT_TRUE(InitConsole("t"));
    console.SetVersion(0x00000003);  // NT 3.x
    EXPECT_TRUE(InitConsole("t"));
    EXPECT_TRUE(console.MessageBoxes().empty());
}

TEST_F(SetupTest, TallBufferEndsAtExactly80By40) {
    console.SetBufferSize(80, 300);
    console.SetLargestWindow(120, 50);
    InitScreen();
    EXPECT_EQ(console.BufferSize().x, 80);
    EXPECT_EQ(console.BufferSize().y, 40);
    EXPECT_EQ(console.Window().right, 79);
    EXPECT_EQ(console.Window().bottom, 39);
}

TEST_F(SetupTest, BufferIsKeptWhenTheDisplayAllowsExactly80By40) {
    console.SetBufferSize(100, 50);
    console.SetLargestWindow(80, 40);
    InitScreen();
    EXPECT_EQ(console.CallCount(ConsoleCall::kSetScreenBufferSize), 0);
    EXPECT_EQ(console.BufferSize().x, 100);
    EXPECT_EQ(console.BufferSize().y, 50);
    EXPECT_EQ(console.Window().right, 79);
    EXPECT_EQ(console.Window().bottom, 39);
}

TEST_F(SetupTest, SmallDisplayGetsItsLargestWindow) {
    console.SetBufferSize(80, 25);
    console.SetLargestWindow(80, 30);
    InitScreen();
    EXPECT_TRUE(console.MessageBoxes().empty());
    EXPECT_EQ(console.Window().right, 79);
    EXPECT_EQ(console.Window().bottom, 29);
    EXPECT_EQ(console.BufferSize().y, 30);
}

TEST_F(SetupTest, FailingCallIsReportedWithSystemTextAndSetUpContinuesOnYes) {
    console.SetSystemErrorText(5, "Access is denied.\r\n");
    console.FailCall(ConsoleCall::kSetTitle, 5);
    console.PushMessageBoxAnswer(kAnswerYes);
    ASSERT_TRUE(InitConsole("t"));

    ASSERT_EQ(console.MessageBoxes().size(), 1u);
    const ShownMessageBox& box = console.MessageBoxes()[0];
    EXPECT_EQ(box.text,
              "dconsole: Error 5 from SetConsoleTitle on line 213:\nAccess is denied.\n\n"
              "Continue execution?");
    EXPECT_EQ(box.caption, "Console API Error");
    EXPECT_EQ(box.flags, 0x10034u);
    ASSERT_EQ(console.Beeps().size(), 1u);
    EXPECT_EQ(console.Beeps()[0], 0x30u);
    EXPECT_EQ(console.OutstandingSystemMessages(), 0);
    // Set-up went on to the end.
    EXPECT_EQ(console.AttributeAt(80, 40), 0x1F);
    EXPECT_FALSE(console.ExitStatus().has_value());
}

TEST_F(SetupTest, SystemTextIsFlowedToLinesOfAtMost40Characters) {
    const std::string text =
        "The handle is invalid because the console it belonged to has been released by the "
        "process that owned it.";
    console.SetSystemErrorText(6, text);
    console.FailCall(ConsoleCall::kSetTitle, 6);
    console.PushMessageBoxAnswer(kAnswerYes);
    InitScreen();
    const std::string& shown = console.MessageBoxes().at(0).text;
    const std::string header = "dconsole: Error 6 from SetConsoleTitle on line 213:\n";
    const std::string trailer = "\n\nContinue execution?";
    ASSERT_EQ(shown.compare(0, header.size(), header), 0);
    ASSERT_EQ(shown.compare(shown.size() - trailer.size(), trailer.size(), trailer), 0);
    const std::string body =
        shown.substr(header.size(), shown.size() - header.size() - trailer.size());
    std::string rejoined;
    size_t start = 0;
    int lines = 0;
    while (start <= body.size()) {
        size_t end = body.find("\r\n", start);
        if (end == std::string::npos) {
            end = body.size();
        }
        const std::string line = body.substr(start, end - start);
        EXPECT_LE(line.size(), 40u) << line;
        rejoined += (rejoined.empty() ? "" : " ") + line;
        ++lines;
        start = end + 2;
    }
    EXPECT_GT(lines, 2);
    EXPECT_EQ(rejoined, text);  // broken only at white space
}

TEST_F(SetupTest, NoEndsTheProgramWithStatus1) {
    console.SetSystemErrorText(6, "The handle is invalid.");
    console.FailCall(ConsoleCall::kSetInputMode, 6);
    console.PushMessageBoxAnswer(kAnswerNo);
    try {
        InitConsole("t");
        FAIL() << "set-up went on after No";
    } catch (const FakeConsoleExit& exit) {
        EXPECT_EQ(exit.status, 1);
    }
    EXPECT_EQ(console.ExitStatus(), 1);
    EXPECT_EQ(console.MessageBoxes().at(0).text,
              "dconsole: Error 6 from SetConsoleMode on line 228:\nThe handle is invalid.\n\n"
              "Continue execution?");
    // Nothing after the failing call ran; the system text was given back before the exit.
    EXPECT_EQ(console.CallCount(ConsoleCall::kSetCursorInfo), 0);
    EXPECT_EQ(console.OutstandingSystemMessagesAtExit(), 0);
}

TEST_F(SetupTest, MissingSystemTextIsDescribedInTheSameBox) {
    console.SetNoMessageTextError(317);
    console.FailCall(ConsoleCall::kSetCursorInfo, 1234);
    console.PushMessageBoxAnswer(kAnswerYes);
    InitScreen();
    EXPECT_EQ(console.MessageBoxes().at(0).text,
              "dconsole: Error 1234 from SetConsoleCursorInfo on line 233:\n"
              "Unable to obtain error message text! \n"
              "dconsole: Error 317 from FormatMessage on line 78\n\nContinue execution?");
}

struct FailingCall {
    ConsoleCall call;
    int occurrence;
    bool from_prompt;  // started with the cursor away from the top-left cell
    int line;
    const char* name;
};

class SetupFailureTest : public ConsoleTest, public ::testing::WithParamInterface<FailingCall> {};

TEST_P(SetupFailureTest, EachFailingCallIsNamedWithItsLine) {
    const FailingCall& failing = GetParam();
    if (failing.from_prompt) {
        console.SetStartCursor(0, 5);
    }
    console.SetSystemErrorText(31, "A device attached to the system is not functioning.");
    console.FailCall(failing.call, 31, failing.occurrence);
    // A lost handle or size makes later calls fail as well; each is reported
    // and the operator carries on every time.
    for (int i = 0; i < 20; ++i) {
        console.PushMessageBoxAnswer(kAnswerYes);
    }
    ASSERT_TRUE(InitConsole("t"));
    ASSERT_GE(console.MessageBoxes().size(), 1u);
    const std::string expected = std::string("dconsole: Error 31 from ") + failing.name +
                                 " on line " + std::to_string(failing.line) + ":\n";
    EXPECT_EQ(console.MessageBoxes()[0].text.substr(0, expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    EveryReport, SetupFailureTest,
    ::testing::Values(
        FailingCall{ConsoleCall::kGetScreenBufferInfo, 1, false, 199, "GetConsoleScreenBufferInfo"},
        FailingCall{ConsoleCall::kFreeConsole, 1, true, 203, "FreeConsole"},
        FailingCall{ConsoleCall::kAllocConsole, 1, true, 210, "AllocConsole"},
        FailingCall{ConsoleCall::kSetTitle, 1, false, 213, "SetConsoleTitle"},
        FailingCall{ConsoleCall::kGetStdHandle, 2, false, 217, "GetStdHandle"},
        FailingCall{ConsoleCall::kGetStdHandle, 3, false, 219, "GetStdHandle"},
        FailingCall{ConsoleCall::kGetInputMode, 1, false, 223, "GetConsoleMode"},
        FailingCall{ConsoleCall::kSetInputMode, 1, false, 228, "SetConsoleMode"},
        FailingCall{ConsoleCall::kSetCursorInfo, 1, false, 233, "SetConsoleCursorInfo"},
        FailingCall{ConsoleCall::kGetScreenBufferInfo, 2, false, 269, "GetConsoleScreenBufferInfo"},
        FailingCall{ConsoleCall::kGetLargestWindowSize, 1, false, 272,
                    "GetLargestConsoleWindowSize"},
        // A new console is 80 by 25: it grows first.
        FailingCall{ConsoleCall::kSetScreenBufferSize, 1, true, 286, "SetConsoleScreenBufferSize"},
        FailingCall{ConsoleCall::kSetWindowInfo, 1, false, 290, "SetConsoleWindowInfo"},
        FailingCall{ConsoleCall::kSetTextAttribute, 1, false, 239, "SetConsoleTextAttribute"},
        FailingCall{ConsoleCall::kGetScreenBufferInfo, 3, false, 115, "GetConsoleScreenBufferInfo"},
        FailingCall{ConsoleCall::kFillCharacter, 1, false, 120, "FillConsoleOutputCharacter"},
        FailingCall{ConsoleCall::kGetScreenBufferInfo, 4, false, 123, "ConsoleScreenBufferInfo"},
        FailingCall{ConsoleCall::kFillAttribute, 1, false, 127, "FillConsoleOutputAttribute"},
        FailingCall{ConsoleCall::kSetCursorPosition, 1, false, 130, "SetConsoleCursorPosition"}));

TEST_F(SetupTest, TallBufferFailingItsFinalCutIsReportedOnLine298) {
    console.SetBufferSize(80, 300);
    console.SetLargestWindow(120, 50);
    console.FailCall(ConsoleCall::kSetScreenBufferSize, 8);
    console.PushMessageBoxAnswer(kAnswerYes);
    InitScreen();
    EXPECT_EQ(console.MessageBoxes().at(0).text.substr(0, 56),
              "dconsole: Error 8 from SetConsoleScreenBufferSize on lin");
    EXPECT_NE(console.MessageBoxes().at(0).text.find("on line 298:"), std::string::npos);
}

TEST_F(SetupTest, ReportIsBoundedWhateverItsParts) {
    console.SetSystemErrorText(87, std::string(5000, 'x'));
    console.PushMessageBoxAnswer(kAnswerYes);
    console.PushMessageBoxAnswer(kAnswerYes);
    ReportConsoleError("dconsole", 1, "Call", 87);
    const std::string long_name(3000, 'n');
    ReportConsoleError(long_name.c_str(), 2, long_name.c_str(), 99);
    ASSERT_EQ(console.MessageBoxes().size(), 2u);
    for (const ShownMessageBox& box : console.MessageBoxes()) {
        EXPECT_LE(box.text.size(), 1023u);
        const std::string trailer = "\n\nContinue execution?";
        ASSERT_GE(box.text.size(), trailer.size());
        EXPECT_EQ(box.text.substr(box.text.size() - trailer.size()), trailer);
    }
    EXPECT_EQ(console.OutstandingSystemMessages(), 0);
}

}  // namespace
}  // namespace vtrl::test
