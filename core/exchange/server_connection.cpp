#include "core/exchange/server_connection.h"

#include <algorithm>
#include <limits>

#include "core/base/conversions.h"

namespace zorvane {

ServerConnection::ServerConnection(HttpTransport& transport, std::u16string host, std::int32_t port)
    : transport_(transport), host_(std::move(host)), port_(static_cast<std::uint16_t>(port))
{
}

ServerConnection::~ServerConnection() { close(); }

bool ServerConnection::startPost(const std::u16string& target, const protocol::FormFields& fields)
{
    if (state_ == State::closed)
        return false;
    if (state_ == State::idle) {
        if (!transport_.openSession(kUserAgent))
            return false;
        if (!transport_.connect(host_, port_)) {
            transport_.closeSession();
            return false;
        }
        state_ = State::connected;
    }

    body_ = protocol::buildBody(fields);
    bytesWritten_ = 0;

    // Only one request at a time: a request still open fails this one.
    const bool opened = state_ == State::connected && body_.size() <= std::numeric_limits<std::uint32_t>::max() &&
                        transport_.openRequest(u"POST", target);
    if (opened && transport_.addRequestHeader(kContentType) &&
        transport_.sendRequest(static_cast<std::uint32_t>(body_.size()))) {
        state_ = State::sending;
        return true;
    }
    if (opened)
        transport_.closeRequest();
    closeHandles();
    state_ = State::idle;
    return false;
}

bool ServerConnection::writeBody(const std::function<void(std::uint32_t)>& progress,
                                 const std::function<bool()>& stop)
{
    if (state_ != State::sending)
        return true;
    while (true) {
        if (progress)
            progress(bytesWritten_);
        if (bytesWritten_ >= body_.size())
            return true;
        if (stop && stop())
            return false;
        const std::uint32_t n = std::min<std::uint32_t>(kChunkSize, bodyLength() - bytesWritten_);
        const auto written = transport_.write(body_.data() + bytesWritten_, n);
        if (!written || *written == 0)
            return true;
        bytesWritten_ += std::min(*written, n);
    }
}

bool ServerConnection::finishPost(std::u16string& reply)
{
    if (state_ != State::sending)
        return false;
    bool good = false;
    if (transport_.endRequest()) {
        const auto status = transport_.queryStatusCode();
        good = status && *status == u"200";
        const auto announced = transport_.queryContentLength();
        std::string bytes;
        char buffer[kReadSize];
        bool withinLimit = !announced || *announced <= kMaxReplyBytes;
        bool whole = true;
        while (withinLimit) {
            const auto got = transport_.read(buffer, kReadSize);
            if (!got) {
                // The connection broke off (a reset mid-body, say).
                whole = false;
                break;
            }
            if (*got == 0)
                break;
            const std::uint32_t n = std::min(*got, kReadSize);
            if (bytes.size() + n > kMaxReplyBytes) {
                withinLimit = false;
                break;
            }
            bytes.append(buffer, n);
        }
        if (announced && bytes.size() != *announced)
            whole = false;
        if (withinLimit)
            reply = widenLatin1(bytes);
        good = good && withinLimit && whole;
    }
    transport_.closeRequest();
    state_ = State::connected;
    return good;
}

void ServerConnection::close()
{
    if (state_ == State::closed)
        return;
    closeHandles();
    body_.clear();
    host_.clear();
    state_ = State::closed;
}

void ServerConnection::closeHandles()
{
    if (state_ == State::sending)
        transport_.closeRequest();
    if (state_ != State::idle) {
        transport_.closeConnection();
        transport_.closeSession();
    }
}

}  // namespace zorvane
