// Stops on POSIX systems: the handler itself removes the file half made and ends the run.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "stop_signals.hpp"

namespace brel::stop_signals {

namespace {

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the handler may touch: plain values, written before `armed` says they are whole. There are two
// places for a name, so that the next one is written while the last is still armed: a name of ours is
// never left unarmed while it exists. `armed` is 0, or 1 + the place in use.
volatile std::sig_atomic_t armed = 0;
int temporary_folder[2] = {AT_FDCWD, AT_FDCWD};
char temporary_name[2][256];
volatile std::sig_atomic_t holding = 0;
volatile std::sig_atomic_t held_signal = 0;

void end_by(int signal_number) {
    if (const int place = armed) unlinkat(temporary_folder[place - 1], temporary_name[place - 1], 0);
    std::signal(signal_number, SIG_DFL);
    // Inside the handler the signal is blocked, so it ends the run the moment the handler returns.
    std::raise(signal_number);
}

extern "C" void on_ending_signal(int signal_number) {
    if (holding) {
        held_signal = signal_number;
        return;
    }
    end_by(signal_number);
}

}  // namespace

void take_over() {
    struct sigaction ours {};
    ours.sa_handler = on_ending_signal;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    for (const int signal_number : ending_signals) sigaddset(&ours.sa_mask, signal_number);
    for (const int signal_number : ending_signals) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) sigaction(signal_number, &ours, nullptr);
    }
}

void remove_on_stop(const file_system::folder& place, const char* name, file_system::owned_file*) {
    const int next = armed == 1 ? 1 : 0;
    temporary_folder[next] = place.handle();
    std::strncpy(temporary_name[next], name, sizeof temporary_name[next] - 1);
    temporary_name[next][sizeof temporary_name[next] - 1] = '\0';
    // The handler must see the name whole once it sees it armed. No <atomic> here: the build for other
    // POSIX systems leaves out glibc's extensions, which that header needs; the compiler's own fence is
    // the same thing.
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    armed = next + 1;
}

void keep_on_stop() { armed = 0; }

hold::hold() { holding = holding + 1; }

hold::~hold() {
    holding = holding - 1;
    if (holding > 0) return;
    if (const int signal_number = held_signal) end_by(signal_number);
}

void take_pending() {}

}  // namespace brel::stop_signals
