// What the Win32 side of user mode keeps per process, beside the kernel's
// process object: the local heap, loaded modules, SetupAPI's device
// information lists, user32's windows, comctl32's pages. Each library
// registers its state here the first time it is used; the machine forgets
// all of it when a new process starts and asks at the end what is still
// held, so a test can tell that a program released everything.
//
// Plain C++ (no Win32 types): the machine, which is compiled against the
// kernel's headers, calls it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace emu::k32 {

// `reset` forgets the library's state (a new process has none); `held`
// counts what a program still holds of it, called `what` ("heap blocks").
void RegisterProcessState(const std::string& what, std::function<void()> reset, std::function<size_t()> held);

// A new process: every library's state is forgotten, every planned
// failure too.
void ResetProcessState();

// What the program still holds, as "heap blocks: 2, windows: 1"; empty
// when nothing.
std::string HeldObjects();

// Failure injection: the `nth` call (0 = the next one) of the Win32
// routine `routine` from now on fails with the Win32 error `error`, as the
// routine fails for want of memory or rights.
void FailCall(const std::string& routine, size_t nth, uint32_t error);
// Drops the planned failures no call has met yet.
void ForgetPlannedFailures();
// Called by an emulated routine on entry: true, with the error to report,
// when this call is one planned to fail.
bool CallFails(const char* routine, uint32_t* error);

}  // namespace emu::k32
