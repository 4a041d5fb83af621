#pragma once
// The service's one failure type. Whatever can fail for a reason (a
// request that breaks the wire format, a scan that is not there, a store
// that cannot be written) answers Expected<T>: the value, or the
// Rejection that says why, as the HTTP status that answers it and one line
// fit for the reply and the log.

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace zorvane::service {

struct Rejection {
    int status = 400;
    std::string reason;
    // For a refusal that passes (a quota window, a moment of load): the
    // seconds a client should wait, sent as Retry-After; zero: none.
    std::int64_t retryAfterSeconds = 0;
};

template <typename T = void>
using Expected = std::expected<T, Rejection>;

inline std::unexpected<Rejection> reject(int status, std::string reason)
{
    return std::unexpected(Rejection{status, std::move(reason)});
}

inline std::unexpected<Rejection> reject(Rejection rejection)
{
    return std::unexpected(std::move(rejection));
}

// Statuses with a meaning of their own across the service: something the
// service depends on failed (the storage, whose store logs the database's
// words; the listening socket; the random source), or the scan or report
// is not there.
inline constexpr int kUnavailable = 503;
inline constexpr int kNotFound = 404;

}  // namespace zorvane::service
