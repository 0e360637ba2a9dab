// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>

namespace corvane::cli {

// How a run ends early: SIGINT (130), SIGTERM (143), or standard output closed under it (141,
// what a shell reports for a program ended by SIGPIPE). Every stage polls the flag (the reader
// per packet, the separator per frame, the writer per block), so the run unwinds in a fraction of
// a second and each song's temporary files are removed on the way out.
inline constexpr int kExitSignal = 128;  // + the signal's number
inline constexpr int kExitOutputClosed = 141;

// Catches SIGINT and SIGTERM; ignores SIGPIPE (a closed pipe is seen as EPIPE where it is written)
// and SIGXFSZ (a file-size limit then fails the write with "File too large", reported and cleaned
// up like a full disk). Main thread, once.
void installStopHandlers();

// Set by a signal or by requestStop(); read anywhere.
const std::atomic<bool>& stopFlag();
inline bool stopping() { return stopFlag().load(std::memory_order_relaxed); }

// Stops the run as a signal would, to end with `exitStatus`. Any thread; the first reason wins.
void requestStop(int exitStatus);

// The status the process ends with after a stop (0 if there was none).
int stopExitStatus();

}  // namespace corvane::cli
