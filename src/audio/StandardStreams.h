// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace corvane::audio {

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed (a program started by cron,
// a service manager or a pipeline that closed early may have none). Otherwise the next file
// opened, an output's temporary among them, would become "standard error", and every message
// would be written into it. Call first thing in main(), before any other file is opened.
void ensureStandardStreams();

}  // namespace corvane::audio
