// Runs on the server's network thread: one connection, from its request's
// first byte to the end of its reply.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "http/ServerImpl.hpp"
#include "platform/Async.hpp"
#include "platform/Log.hpp"
#include "text/UnicodeText.hpp"

namespace tavlo {

using Clock = ServerClock;
using Impl = HTTPCompanionServer::Impl;
using asio::ip::tcp;

namespace {

// After a reply, bytes the peer may still have on their way are read this long at
// most, so closing does not reset the connection before the reply is read.
constexpr std::chrono::milliseconds kLinger{500};
const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

std::error_code lastError() { return {errno, std::system_category()}; }

HTTPResponse internalError() { return HTTPResponse::json({{"error", "internal error"}, {"ok", false}}, 500); }

HTTPResponse bodyTooLarge() {
  return HTTPResponse::json({{"error", "request body too large"}, {"ok", false}}, 413);
}

HTTPResponse codingNotSupported() {
  return HTTPResponse::json({{"error", "transfer coding not supported"}, {"ok", false}}, 501);
}

bool wantsContinue(const HTTPRequest& request) {
  auto expect = request.headers.find("expect");
  return expect != request.headers.end() && lowerASCII(expect->second) == "100-continue";
}

// How a request's body is framed and taken in: chunked, or by Content-Length.
// Exactly the body the head announces is kept, whatever follows it.
class BodyFraming {
 public:
  // Reads what the head says; a reply when the request is refused before its body.
  std::optional<HTTPResponse> begin(HTTPRequest& request, int64_t maxBodyBytes) {
    if (auto coding = request.headers.find("transfer-encoding"); coding != request.headers.end()) {
      if (lowerASCII(coding->second) != "chunked") return codingNotSupported();
      chunked_.emplace(maxBodyBytes);
      const std::string raw = std::move(request.body);
      request.body.clear();
      chunked_->feed(raw, request.body);
      return std::nullopt;
    }
    length_ = request.contentLength();
    if (length_ > maxBodyBytes) return bodyTooLarge();
    // A negative length dispatches at once with whatever came with the head; an absent
    // or unreadable one means no body, so a second request's bytes never become one.
    if (length_ >= 0 && static_cast<int64_t>(request.body.size()) > length_)
      request.body.resize(static_cast<std::size_t>(length_));
    return std::nullopt;
  }

  // More than zero while the body is not all in.
  int64_t missing(const HTTPRequest& request) const {
    if (chunked_) return chunked_->status() == ChunkedBodyDecoder::Status::more ? 1 : 0;
    return std::max<int64_t>(0, length_ - static_cast<int64_t>(request.body.size()));
  }

  void feed(std::string_view bytes, HTTPRequest& request) {
    if (chunked_) chunked_->feed(bytes, request.body);
    else request.body.append(bytes.substr(0, static_cast<std::size_t>(std::min<int64_t>(missing(request), bytes.size()))));
  }

  // The body's size as announced so far, which its deadline follows.
  int64_t announced() const { return chunked_ ? chunked_->announced() : length_; }

  // The reply a chunked body earns once read: too large, or malformed.
  std::optional<HTTPResponse> refusal() const {
    const auto status = chunked_ ? chunked_->status() : ChunkedBodyDecoder::Status::done;
    if (status == ChunkedBodyDecoder::Status::tooLarge) return bodyTooLarge();
    if (status == ChunkedBodyDecoder::Status::malformed) return HTTPResponse::badRequest("malformed chunked body");
    return std::nullopt;
  }

 private:
  std::optional<ChunkedBodyDecoder> chunked_;
  int64_t length_ = 0;
};

}  // namespace

Impl::Connection::Connection(Impl& s, AcceptedSocket socket, const AddressKey& peer, bool v6, bool counted)
    : server(s), fd(std::exchange(socket.fd, -1)), peer(peer), v6(v6), counted(counted) {
  place = server.connections.insert(server.connections.end(), this);
  if (counted) ++server.perAddress[capGroupOf(peer)];
}

Impl::Connection::~Connection() {
  if (!waiter) ::close(fd);
  if (server.tearingDown) return;  // the waiter closes fd itself
  std::error_code ignored;
  if (waiter) waiter->close(ignored);
  server.connections.erase(place);
  if (counted) {
    auto it = server.perAddress.find(capGroupOf(peer));
    if (--it->second == 0) server.perAddress.erase(it);
  }
  if (evicted) --server.evicting;
  if (--server.open == 0) server.tellDrained();
}

asio::awaitable<void> Impl::serve(AcceptedSocket socket, AddressKey peer, bool v6, bool counted) {
  Connection connection(*this, std::move(socket), peer, v6, counted);
  co_await exchange(connection);
}

// Waits until the socket is ready for `what`, or the sweep ends the connection.
asio::awaitable<void> Impl::waitFor(Connection& c, tcp::socket::wait_type what) {
  if (closing) {  // nothing would wake it any more
    c.expired = true;
    co_return;
  }
  if (!c.waiter) {
    std::error_code ec;
    c.waiter.emplace(io);
    c.waiter->assign(c.v6 ? tcp::v6() : tcp::v4(), c.fd, ec);
    if (ec) {
      c.waiter.reset();
      c.expired = true;
      co_return;
    }
  }
  c.waiting = true;
  startSweep();
  co_await c.waiter->async_wait(what, useTuple);
  c.waiting = false;
}

// One receive into scratch: tried at once, waited for only when nothing is there.
asio::awaitable<ReadResult> Impl::receive(Connection& c, std::size_t size) {
  for (;;) {
    if (c.expired) co_return ReadResult{ReadOutcome::timeout, 0, {}};
    const ssize_t n = ::recv(c.fd, scratch.get(), size, 0);
    if (n > 0) {
      c.lastActivity = Clock::now();
      c.moreMayBePending = static_cast<std::size_t>(n) == size;
      co_return ReadResult{ReadOutcome::data, static_cast<std::size_t>(n), {}};
    }
    if (n == 0) {
      c.moreMayBePending = false;
      co_return ReadResult{ReadOutcome::end, 0, {}};
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) co_return ReadResult{ReadOutcome::error, 0, lastError()};
    co_await waitFor(c, tcp::socket::wait_read);
  }
}

// Writes everything unless the peer stops reading for the idle limit.
asio::awaitable<bool> Impl::sendAll(Connection& c, std::string_view bytes) {
  while (!bytes.empty()) {
    if (c.expired) co_return false;
    const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      c.lastActivity = Clock::now();
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) co_return false;
    co_await waitFor(c, tcp::socket::wait_write);
  }
  co_return true;
}

// Ends every waiting connection past its deadline or idle for too long; runs
// while any connection waits.
void Impl::startSweep() {
  if (sweeping || closing) return;
  sweeping = true;
  asio::co_spawn(io, sweep(), logFailure("HTTP sweep stopped"));
}

asio::awaitable<void> Impl::sweep() {
  for (bool anyWaiting = true; anyWaiting && !closing;) {
    sweepTimer.expires_after(sweepInterval);
    co_await sweepTimer.async_wait(useTuple);
    if (closing) break;
    const auto now = Clock::now();
    anyWaiting = false;
    for (Connection* c : connections) {
      if (!c->waiting) continue;
      if (now >= c->deadline || now - c->lastActivity >= options.idleTimeout) {
        c->expired = true;
        std::error_code ignored;
        c->waiter->cancel(ignored);
      } else {
        anyWaiting = true;
      }
    }
  }
  sweeping = false;
}

Clock::time_point Impl::bodyDeadline(Clock::time_point start, int64_t announced) const {
  const int64_t blocks = std::max<int64_t>(0, announced) / std::max<int64_t>(1, options.bodyBlockBytes);
  return start + options.bodyTimeout + options.bodyTimePerBlock * blocks;
}

// One request on a connection: its head, its body, the handler's reply.
asio::awaitable<void> Impl::exchange(Connection& c) {
  bool ended = false;  // the peer has ended its stream
  std::optional<HTTPRequest> request = co_await readHead(c, ended);
  if (!request) co_return;
  if (request->repeatedHost) {  // RFC 9112: more than one Host is refused
    co_await refuse(c, HTTPResponse::badRequest("more than one Host header"));
    co_return;
  }
  const bool complete = co_await readBody(c, *request, ended);
  if (!complete) co_return;
  co_await respond(c, std::move(*request));
}

// Keeps reading until the head parses, the peer ends the stream, or it grows
// too large. A peer that trickles bytes to keep the idle limit at bay still
// gets a deadline. None: the connection is to be closed without a reply.
asio::awaitable<std::optional<HTTPRequest>> Impl::readHead(Connection& c, bool& ended) {
  std::string buffer;
  c.deadline = c.lastActivity + options.headTimeout;
  for (;;) {
    // Most requests fit the first, smaller receive.
    ReadResult read = co_await receive(c, buffer.empty() ? kFirstReceiveSize : kReceiveSize);
    if (read.outcome == ReadOutcome::error) {
      if (!closing) logLine("Tavlo HTTP receive error: " + read.error.message());
      co_return std::nullopt;
    }
    if (read.outcome == ReadOutcome::timeout) co_return std::nullopt;
    if (read.outcome == ReadOutcome::end) ended = true;
    const std::size_t before = buffer.size();
    buffer.append(scratch.get(), read.bytes);

    const std::size_t from = before >= 3 ? before - 3 : 0;
    const std::size_t headEnd = std::string_view(buffer).find("\r\n\r\n", from);
    if (headEnd == std::string_view::npos) {
      if (ended || buffer.size() >= options.maxHeadBytes + 4) co_return std::nullopt;
      continue;
    }
    if (headEnd > options.maxHeadBytes) co_return std::nullopt;
    // A complete head that does not parse never will: closed without a reply.
    co_return HTTPRequest::tryParse(buffer);
  }
}

// Reads exactly the body the head announces, whatever else follows it. False
// when the connection is done: refused with a reply, or gone.
asio::awaitable<bool> Impl::readBody(Connection& c, HTTPRequest& request, bool& ended) {
  const auto bodyStart = Clock::now();
  BodyFraming framing;
  if (auto early = framing.begin(request, options.maxBodyBytes)) {
    HTTPResponse refusal = std::move(*early);
    co_await refuse(c, std::move(refusal));
    co_return false;
  }
  c.deadline = bodyDeadline(bodyStart, framing.announced());
  // curl holds back a larger body for a second unless told to go on.
  if (framing.missing(request) > 0 && !ended && wantsContinue(request)) {
    const bool sent = co_await sendAll(c, kContinue);
    if (!sent) co_return false;
  }
  while (framing.missing(request) > 0 && !ended) {
    ReadResult read = co_await receive(c, kReceiveSize);
    if (read.outcome == ReadOutcome::error) {
      if (!closing) logLine("Tavlo HTTP body error: " + read.error.message());
      co_return false;
    }
    if (read.outcome == ReadOutcome::timeout) co_return false;
    if (read.outcome == ReadOutcome::end) ended = true;
    framing.feed(std::string_view(scratch.get(), read.bytes), request);
    c.deadline = bodyDeadline(bodyStart, framing.announced());
  }
  if (auto late = framing.refusal()) {
    HTTPResponse refusal = std::move(*late);  // named: g++ 12 destroys some co_await temporaries twice
    co_await refuse(c, std::move(refusal));
    co_return false;
  }
  co_return true;
}

// Hands the request to the handler and writes its reply.
asio::awaitable<void> Impl::respond(Connection& c, HTTPRequest request) {
  c.reading = false;
  request.peerAddress = addressText(c.peer);
  c.deadline = Clock::time_point::max();
  HTTPResponse response;
  std::optional<std::string> failure;
  try {
    auto self = shared_from_this();  // the request holds the server until its reply is written
    response = co_await handler(std::move(request));
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {  // whatever the handler throws becomes a 500; the log says what
    failure = "unknown exception";
  }
  if (failure) {
    logLine("Tavlo HTTP handler failed: " + *failure);
    response = internalError();
  }
  if (closing) co_return;
  c.lastActivity = Clock::now();
  const std::string bytes = response.serialize();
  const bool sent = co_await sendAll(c, bytes);
  if (!sent) co_return;
  // Closing with unread bytes resets the connection, and the peer may lose the reply.
  if (c.moreMayBePending) co_await drain(c, std::min<std::chrono::milliseconds>(kLinger, options.drainTimeout));
}

// Ends the reply and reads and drops what the peer still sends, for `limit` at most.
asio::awaitable<void> Impl::drain(Connection& c, std::chrono::milliseconds limit) {
  ::shutdown(c.fd, SHUT_WR);
  c.deadline = Clock::now() + limit;
  for (;;) {
    const ReadResult read = co_await receive(c, kReceiveSize);
    if (read.outcome != ReadOutcome::data) break;
  }
}

// Answers before the announced body was read. The peer may be uploading it
// still: what it sends is read and dropped for a while, so it can read the reply.
asio::awaitable<void> Impl::refuse(Connection& c, HTTPResponse response) {
  c.reading = false;
  c.lastActivity = Clock::now();
  const std::string bytes = response.serialize();
  const bool sent = co_await sendAll(c, bytes);
  if (sent) co_await drain(c, options.drainTimeout);
}

}  // namespace tavlo
