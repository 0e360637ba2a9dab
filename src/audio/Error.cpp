// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/Error.h"

#include <system_error>

namespace corvane::audio {

Error systemError(int errnoValue) {
    return Error{kSystemDomain, errnoValue, std::generic_category().message(errnoValue)};
}

}  // namespace corvane::audio
