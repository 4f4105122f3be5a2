// The console on Windows: standard output buffering and the key wait on the console's own devices.
#include <windows.h>

#include <cstdio>
#include <string_view>

#include "console_frame.hpp"

namespace brel {

namespace {

// The console devices, opened on first use and kept open for the rest of the run.
HANDLE console_input = INVALID_HANDLE_VALUE;
HANDLE console_output = INVALID_HANDLE_VALUE;
bool input_tried = false;
bool output_tried = false;

HANDLE open_console(const char* device) {
    return CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

void write_to_console(std::string_view text) {
    if (!output_tried) {
        output_tried = true;
        console_output = open_console("CONOUT$");
    }
    DWORD written = 0;
    if (console_output != INVALID_HANDLE_VALUE && !text.empty()) {
        WriteConsoleA(console_output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

// The first byte of the two-byte code the console gives a special key, or -1 for a key that gives
// none (Shift, Ctrl, Alt, Caps Lock and the like). Keys of the extended keyboard (the separate cursor
// and editing block, F11, F12) lead with 224; function keys and the keypad's own editing keys with 0.
int special_key_lead(const KEY_EVENT_RECORD& key) {
    const WORD code = key.wVirtualKeyCode;
    const bool extended = (key.dwControlKeyState & ENHANCED_KEY) != 0;
    const bool editing = code == VK_PRIOR || code == VK_NEXT || code == VK_END || code == VK_HOME ||
                         code == VK_LEFT || code == VK_UP || code == VK_RIGHT || code == VK_DOWN ||
                         code == VK_INSERT || code == VK_DELETE || code == VK_CLEAR;
    if (code == VK_F11 || code == VK_F12 || (editing && extended)) return 224;
    if ((code >= VK_F1 && code <= VK_F10) || editing) return 0;
    return -1;
}

}  // namespace

void set_up_standard_output() {
    static char block[4096];
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, block, _IOFBF, sizeof block);
    }
}

// The console takes control bytes as commands only in virtual-terminal mode, which these programs
// never switch on; there they show as glyphs.
bool obeys_control_bytes(std::FILE*) { return false; }

// A process has one console at most: standard output and standard error that are both consoles are it.
bool errors_share_output_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

void wait_for_key() {
    if (!input_tried) {
        input_tried = true;
        console_input = open_console("CONIN$");
    }
    DWORD saved_mode = 0;
    if (console_input == INVALID_HANDLE_VALUE || !GetConsoleMode(console_input, &saved_mode)) return;

    // The prompt went to standard output; when that is a file or a pipe, the user at the console would
    // see no sign of the wait.
    DWORD output_mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &output_mode)) write_to_console(prompt_message);

    // No line input, no echo by the console and no processed input, so Ctrl+C arrives as a key.
    SetConsoleMode(console_input, saved_mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                                   ENABLE_PROCESSED_INPUT));
    // Keys pressed while the run was busy were not meant for a prompt not yet shown.
    FlushConsoleInputBuffer(console_input);
    int key = -1;
    char character = 0;
    while (key < 0) {
        INPUT_RECORD event;
        DWORD count = 0;
        if (!ReadConsoleInputA(console_input, &event, 1, &count) || count != 1) break;
        if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown) continue;
        character = event.Event.KeyEvent.uChar.AsciiChar;
        key = character != 0 ? static_cast<unsigned char>(character) : special_key_lead(event.Event.KeyEvent);
    }
    SetConsoleMode(console_input, saved_mode);

    // A special key has no character to show, and Escape none either, as on a terminal; control keys
    // show in caret notation.
    if (character != 0 && character != 0x1B) write_to_console(key_echo(std::string_view(&character, 1)));
    // The prompt's line ends here, so that what the command prompt prints next starts a line of its own.
    if (key >= 0) write_to_console("\r\n");
}

}  // namespace brel
