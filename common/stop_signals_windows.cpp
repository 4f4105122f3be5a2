// Stops on Windows: Ctrl+C, Ctrl+Break and closing the console window call a handler on a thread of
// its own. It only notes the stop; the main thread takes it at its next point, removes the file half
// made and ends the run with the status Ctrl+C gives.
#include <windows.h>

#include <atomic>
#include <string>

#include "file_system_windows.hpp"
#include "stop_signals.hpp"

namespace brel::stop_signals {

namespace {

std::atomic<bool> requested{false};
int holding = 0;
std::wstring temporary_path;  // as the wide calls take it
file_system::owned_file* temporary_file = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    requested = true;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    // Closing the window, logging off, shutting down: the process ends when this returns, so it waits
    // for the main thread to clean up and end the run itself.
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void take_over() { SetConsoleCtrlHandler(on_console_event, TRUE); }

void remove_on_stop(const file_system::folder& place, const char* name, file_system::owned_file* file) {
    temporary_path = file_system::system_path(place.path() + name);
    temporary_file = file;
}

void keep_on_stop() {
    temporary_path.clear();
    temporary_file = nullptr;
}

hold::hold() { ++holding; }

hold::~hold() {
    --holding;
    take_pending();
}

void take_pending() {
    if (!requested || holding > 0) return;
    // An open file can't be deleted here: it is closed first.
    if (temporary_file != nullptr) temporary_file->close();
    if (!temporary_path.empty()) DeleteFileW(temporary_path.c_str());
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace brel::stop_signals
