#include "console/console_port.h"

namespace vtrl {

namespace {

// Answers while no port has been set: nothing is shown and every call fails.
class InertConsolePort final : public ConsolePort {
  public:
    uint32_t GetVersion() override { return 0; }
    ConsoleHandle GetStdHandle(StdHandle) override { return InvalidConsoleHandle(); }
    bool GetScreenBufferInfo(ConsoleHandle, ScreenBufferInfo*) override { return false; }
    bool FreeConsole() override { return false; }
    bool AllocConsole() override { return false; }
    bool SetTitle(const char*) override { return false; }
    bool GetInputMode(ConsoleHandle, uint32_t*) override { return false; }
    bool SetInputMode(ConsoleHandle, uint32_t) override { return false; }
    bool SetCursorInfo(ConsoleHandle, uint32_t, bool) override { return false; }
    CellCoord GetLargestWindowSize(ConsoleHandle) override { return CellCoord{0, 0}; }
    bool SetScreenBufferSize(ConsoleHandle, CellCoord) override { return false; }
    bool SetWindowInfo(ConsoleHandle, bool, const CellRect&) override { return false; }
    bool SetTextAttribute(ConsoleHandle, uint16_t) override { return false; }
    bool FillCharacter(ConsoleHandle, char, uint32_t, CellCoord, uint32_t* written) override {
        *written = 0;
        return false;
    }
    bool FillAttribute(ConsoleHandle, uint16_t, uint32_t, CellCoord, uint32_t* written) override {
        *written = 0;
        return false;
    }
    bool SetCursorPosition(ConsoleHandle, CellCoord) override { return false; }
    bool ReadCells(ConsoleHandle, ConsoleCell*, CellCoord, CellRect*) override { return false; }
    bool WriteCells(ConsoleHandle, const ConsoleCell*, CellCoord, CellRect*) override {
        return false;
    }
    bool WriteChars(ConsoleHandle, const char*, uint32_t, uint32_t* written) override {
        *written = 0;
        return false;
    }
    void PutChar(char) override {}
    bool ScrollCells(ConsoleHandle, const CellRect&, const CellRect*, CellCoord,
                     ConsoleCell) override {
        return false;
    }
    int ReadKey() override { return -1; }
    int ShowMessageBox(const char*, const char*, uint32_t) override { return kAnswerNo; }
    bool MessageBeep(uint32_t) override { return false; }
    uint32_t LastError() override { return 6; }  // the invalid-handle code
    uint32_t FormatSystemMessage(uint32_t, uint32_t, uint32_t, uint32_t, char** text) override {
        *text = nullptr;
        return 0;
    }
    void FreeSystemMessage(char*) override {}
    void Sleep(uint32_t) override {}
    void Exit(int) override {}
};

InertConsolePort g_inert_port;
ConsolePort* g_port = nullptr;

}  // namespace

void SetConsolePort(ConsolePort* port) {
    g_port = port;
}

ConsolePort& CurrentConsolePort() {
    if (g_port != nullptr) {
        return *g_port;
    }
    return g_inert_port;
}

}  // namespace vtrl
