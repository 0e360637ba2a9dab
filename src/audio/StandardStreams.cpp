// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/StandardStreams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::audio {

void ensureStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one: the lower ones are open by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

}  // namespace corvane::audio
