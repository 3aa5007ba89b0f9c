// Linux only: the console port's keys, input mode and message box; nothing else lives here.
#include "console/linux/console_port.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vtrl {

namespace {

// What a key read gives at the end of the input: a key that answers no.
constexpr int kEndOfInputKey = 'n';

}  // namespace

int LinuxConsolePort::ReadKey() {
    Start();
    if (!curses_) {
        unsigned char byte = 0;
        ssize_t got;
        do {
            got = read(STDIN_FILENO, &byte, 1);
        } while (got < 0 && errno == EINTR);
        return got == 1 ? byte : kEndOfInputKey;
    }
    for (;;) {
        // wgetch reports the end of input with ERR and leaves errno alone:
        // an EINTR left over from an interrupted sleep must not read as
        // an interrupted wait.
        errno = 0;
        const int key = wgetch(stdscr);
        if (key == KEY_RESIZE) {
            Refit();
            Render();
            continue;
        }
        if (key == ERR) {
            if (errno == EINTR) {
                continue;
            }
            return kEndOfInputKey;
        }
        return key;
    }
}

int LinuxConsolePort::ShowMessageBox(const char* text, const char* caption, uint32_t flags) {
    Start();
    const bool yes_no = (flags & 0xF) == kMessageBoxYesNo;
    std::vector<std::string> text_lines;
    text_lines.push_back(caption != nullptr ? caption : "");
    text_lines.emplace_back();
    std::string line;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (*p == '\n') {
            text_lines.push_back(line);
            line.clear();
        } else if (*p != '\r') {
            line += *p;
        }
    }
    text_lines.push_back(line);
    text_lines.emplace_back();
    text_lines.push_back(yes_no ? "Yes (y) / No (n)" : "Press a key");
    if (!curses_) {
        for (const std::string& l : text_lines) {
            (void)std::fprintf(stderr, "%s\n", l.c_str());
        }
        if (!yes_no) {
            return kAnswerOk;
        }
        for (;;) {
            const int key = ReadKey();
            if (key == 'y' || key == 'Y') {
                return kAnswerYes;
            }
            if (key == 'n' || key == 'N') {
                return kAnswerNo;
            }
        }
    }
    return AskOnScreen(text_lines, yes_no);
}

bool LinuxConsolePort::MessageBeep(uint32_t) {
    Start();
    if (curses_) {
        beep();
    }
    return true;
}

void LinuxConsolePort::ApplyInputMode() {
    if (!curses_) {
        return;
    }
    if ((input_mode_ & kInputLine) != 0) {
        nocbreak();
    } else {
        cbreak();
    }
    if ((input_mode_ & kInputEcho) != 0) {
        echo();
    } else {
        noecho();
    }
}

int LinuxConsolePort::AskOnScreen(const std::vector<std::string>& text_lines, bool yes_no) {
    int width = 0;
    for (const std::string& l : text_lines) {
        width = std::max(width, static_cast<int>(l.size()));
    }
    const int box_width = std::min(width + 4, COLS);
    const int box_height = std::min(static_cast<int>(text_lines.size()) + 2, LINES);
    WINDOW* box = newwin(box_height, box_width, std::max(0, (LINES - box_height) / 2),
                         std::max(0, (COLS - box_width) / 2));
    if (box != nullptr) {
        wbkgd(box, COLOR_PAIR(PairFor(0x4F)));
        werase(box);
        box_set(box, 0, 0);
        for (int i = 0; i < static_cast<int>(text_lines.size()) && i + 1 < box_height - 1; ++i) {
            mvwaddnstr(box, i + 1, 2, text_lines[i].c_str(), box_width - 4);
        }
        curs_set(0);
        wrefresh(box);
    }
    cbreak();
    noecho();
    int answer = kAnswerOk;
    for (;;) {
        errno = 0;
        const int key = wgetch(box != nullptr ? box : stdscr);
        if (key == KEY_RESIZE || (key == ERR && errno == EINTR)) {
            continue;
        }
        if (!yes_no) {
            break;
        }
        if (key == 'y' || key == 'Y') {
            answer = kAnswerYes;
            break;
        }
        if (key == 'n' || key == 'N' || key == ERR) {
            answer = kAnswerNo;
            break;
        }
    }
    if (box != nullptr) {
        delwin(box);
    }
    ApplyInputMode();
    touchwin(stdscr);
    screen_.MarkAllDirty();
    Render();
    return answer;
}

}  // namespace vtrl
