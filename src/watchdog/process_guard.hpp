#pragma once
// Which process a handler belongs to.
//
// A handler lives in the process that created it. After os.fork() the child has a copy of
// the handler but not its watchdog thread, and a safety connection cannot be run by two
// processes at once: in the child every operation that drives the state machine is refused
// (RuntimeError naming fork); delete() still works. The child's copies of the watchdogs are
// marked ended, with their locks made anew, so nothing waits for a thread that is not there.
#include "binding/ref.hpp"

#include <atomic>
#include <cstdint>

namespace tamsel::master {

// Bumped in the child of every fork.
inline std::atomic<std::uint32_t> process_generation{0};

inline std::uint32_t current_process_generation() noexcept {
    return process_generation.load(std::memory_order_relaxed);
}

// The RuntimeError of an operation on a handler created in the parent of this process.
void raise_forked_handler();

// Installs the handler that runs in the child of a fork (once per process); false with an
// exception set.
bool install_fork_handler();

}  // namespace tamsel::master
