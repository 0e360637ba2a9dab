// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace corvane::audio {

// A failure a user can cause (missing file, undecodable data, disk full), carried as a value.
// `description` is one human-readable line; the model puts it after its status prefix.
struct Error {
    std::string domain;  // "Corvane" for the reader's own errors, "System", "FFmpeg"
    int code = 0;
    std::string description;
};

// Error domains: the program's own reasons, the system's (errno), and the libraries'.
inline constexpr const char* kCorvaneDomain = "Corvane";
inline constexpr const char* kSystemDomain = "System";
inline constexpr const char* kFFmpegDomain = "FFmpeg";
inline constexpr const char* kSndfileDomain = "libsndfile";

// The system's own wording for an errno value ("No space left on device"); unlike strerror, safe
// on any thread.
Error systemError(int errnoValue);

// The value of a fallible operation or its Error.
template <class T>
class Result {
public:
    Result(T value) : m_v(std::move(value)) {}
    Result(Error error) : m_v(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(m_v); }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<T>(m_v);
    }
    const T& value() const& {
        assert(ok());
        return std::get<T>(m_v);
    }
    T&& value() && {
        assert(ok());
        return std::get<T>(std::move(m_v));
    }
    const Error& error() const {
        assert(!ok());
        return std::get<Error>(m_v);
    }

private:
    std::variant<T, Error> m_v;
};

}  // namespace corvane::audio
