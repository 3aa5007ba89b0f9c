// Every console test starts from the initial module state on a fresh
// in-memory console, set up as the program sets it up.
#pragma once

#include <gtest/gtest.h>

#include "console/dconsole.h"
#include "sim/clock.h"
#include "tests/console/fake_console.h"

namespace vtrl::test {

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetConsoleState();
        console.Install();
        SetClock(&clock);
    }
    void TearDown() override {
        SetClock(nullptr);
        ResetConsoleState();
    }

    // The program's own set-up: 80 by 40 cells, blank bright white on blue.
    void InitScreen() { ASSERT_TRUE(InitConsole("test")); }

    ConsoleState State() const {
        ConsoleState state;
        SaveConsoleState(&state);
        return state;
    }

    sim::VirtualClock clock;
    FakeConsole console;
};

inline bool operator==(const ConsoleState& a, const ConsoleState& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom &&
           a.attribute == b.attribute && a.cursor_column == b.cursor_column &&
           a.cursor_row == b.cursor_row;
}

inline bool SameCells(const std::vector<ConsoleCell>& a, const std::vector<ConsoleCell>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].ch != b[i].ch || a[i].attribute != b[i].attribute) {
            return false;
        }
    }
    return true;
}

}  // namespace vtrl::test
