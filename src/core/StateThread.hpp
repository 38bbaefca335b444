#pragma once
// The state thread's check, called on whatever thread calls into the state's
// parts (the state, its run queue, its refresher): every build aborts when
// that is not the state's executor (a cheap executor comparison).
#include <asio.hpp>

namespace tavlo {

// Whether the calling thread runs `executor` now. An executor of a kind not
// known here cannot say, and fails: the check must never wave a caller through.
bool runsHere(const asio::any_io_executor& executor);

// Aborts, naming `owner`::`what`, when the caller is not on `executor`.
void requireStateThread(const asio::any_io_executor& executor, const char* owner, const char* what);

}  // namespace tavlo
