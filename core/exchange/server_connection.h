#pragma once
// Posts form-encoded request bodies to the service and returns the reply
// text. The session and the connection to the host are opened once and kept
// for both exchanges of a scan; each exchange opens, writes, ends and closes
// its own request: startPost, writeBody, finishPost.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/exchange/http_transport.h"
#include "protocol/form_fields.h"

namespace zorvane {

class ServerConnection {
public:
    enum class State { idle, connected, sending, closed };

    static constexpr std::u16string_view kUserAgent = u"Zorvane/1.0";
    static constexpr std::u16string_view kContentType = u"Content-Type: application/x-www-form-urlencoded";
    static constexpr std::uint32_t kChunkSize = 1024;
    static constexpr std::uint32_t kReadSize = 2048;
    // A reply larger than this fails finishPost; memory stays bounded.
    static constexpr std::size_t kMaxReplyBytes = 1 << 20;

    // The port is used as a 16-bit number.
    ServerConnection(HttpTransport& transport, std::u16string host, std::int32_t port);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Connects unless connected, builds the body from the fields, opens the
    // request and sends its head with the body length. On failure everything
    // is closed again (idle), so a later call connects anew.
    bool startPost(const std::u16string& target, const protocol::FormFields& fields);

    // Writes the body in chunks of kChunkSize. `progress` (when given) gets
    // the bytes written so far before every chunk and once at the end. A
    // failing write, or one that writes nothing, ends the writing early.
    // `stop` (when given) is asked before every chunk; once it says true,
    // nothing more is written and the result is false: the request must
    // then be abandoned (close), never finished.
    bool writeBody(const std::function<void(std::uint32_t)>& progress = {},
                   const std::function<bool()>& stop = {});

    // Ends the request, reads the whole reply (each byte one UTF-16 unit)
    // and closes the request, leaving the connection open. True only for
    // status "200" with a whole reply within kMaxReplyBytes: a read that
    // fails, or fewer bytes than the reply announced, means the reply was
    // cut off and fails too. The reply is stored for any status, but not
    // when it is (or is announced as) over the limit, which is then not read.
    bool finishPost(std::u16string& reply);

    // Closes request, connection and session, as far as open.
    void close();

    State state() const { return state_; }
    std::uint32_t bodyLength() const { return static_cast<std::uint32_t>(body_.size()); }

private:
    void closeHandles();

    HttpTransport& transport_;
    State state_ = State::idle;
    std::uint32_t bytesWritten_ = 0;
    std::string body_;
    std::u16string host_;
    std::uint16_t port_;
};

}  // namespace zorvane
