#pragma once
// Process and thread helpers.
#include <cstdint>
#include <string>

namespace plat {

// Flushes stdio and ends the process (_exit: no static destructors, no atexit handlers,
// while other threads may still run). Linux keeps only the low byte of the status, so
// 100002 is seen as 162 by the parent; the caller records the full code beforehand where
// an operator must be able to read it.
[[noreturn]] void ExitProcess(int code);
// The status a parent sees for code (code & 0xFF).
constexpr int ExitStatusOf(int code) { return code & 0xFF; }

// Host name cut at the first '.' and to 15 characters.
std::string ComputerName();
// raise(SIGTRAP): an attached debugger stops there; otherwise the crash handling of the
// process takes over.
void DebugBreak();
// True when a tracer is attached (TracerPid in /proc/self/status is not 0).
bool IsDebuggerPresent();
// gettid(), never 0, so 0 can mean "no thread".
uint32_t CurrentThreadId();
uint32_t CurrentProcessId();

// $PARLO_RUN_DIR, else $XDG_RUNTIME_DIR/parlo, else /tmp/parlo-<uid>. Created (0700 for the
// last component: named objects are the user's own, platform/filemode.h) on first use.
std::string RunDir();

}  // namespace plat
