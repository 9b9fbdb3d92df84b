#pragma once
// A stream layer under a plain WebSocket stream that reads the socket in large pieces. The
// WebSocket stream reads at most 1536 bytes at a time, one system call each; a peer that sent
// many messages in one go (an agent answering a burst of requests) would cost a receive per
// 1536 bytes. Once switched on, this layer receives up to its capacity at once and hands the
// bytes out from memory. When the last receive left the socket empty it waits for readiness
// first instead of trying a receive that would find nothing.
//
// Until ReadAheadOn() every read passes straight through, so the opening handshake keeps the
// next layer's deadlines. Memory: the capacity, allocated when switched on, per connection.
// Writes pass straight through. Single-threaded, as its stream.

#include <boost/asio/associated_allocator.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <cstddef>
#include <memory>
#include <utility>

namespace vantor {

template <class NextLayer>
class ReadAheadStream {
 public:
  using next_layer_type = NextLayer;
  using executor_type = typename NextLayer::executor_type;

  template <class... Args>
  explicit ReadAheadStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

  next_layer_type& next_layer() noexcept { return next_; }
  const next_layer_type& next_layer() const noexcept { return next_; }
  executor_type get_executor() noexcept { return next_.get_executor(); }

  // From now on reads go through a buffer of `capacity` bytes. Call between reads. The socket
  // is put in non-blocking mode: a readiness that turns out spurious must not block the thread.
  void ReadAheadOn(std::size_t capacity) {
    boost::system::error_code ignored;
    Socket().non_blocking(true, ignored);
    storage_ = std::make_unique<char[]>(capacity);
    capacity_ = capacity;
  }

  template <class MutableBufferSequence, class ReadToken>
  auto async_read_some(const MutableBufferSequence& buffers, ReadToken&& token) {
    return boost::asio::async_initiate<ReadToken, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const MutableBufferSequence& into) { Read(into, std::move(handler)); }, token, buffers);
  }

  template <class ConstBufferSequence, class WriteToken>
  auto async_write_some(const ConstBufferSequence& buffers, WriteToken&& token) {
    return next_.async_write_some(buffers, std::forward<WriteToken>(token));
  }

 private:
  // The completion of a receive or a readiness wait for one read; it runs with the reader's
  // own executor and allocator, as the reader's handler would.
  template <class MutableBufferSequence, class Handler>
  struct Refill {
    ReadAheadStream* stream;
    MutableBufferSequence into;
    Handler handler;

    using executor_type = boost::asio::associated_executor_t<Handler, typename NextLayer::executor_type>;
    using allocator_type = boost::asio::associated_allocator_t<Handler>;
    executor_type get_executor() const noexcept {
      return boost::asio::get_associated_executor(handler, stream->next_.get_executor());
    }
    allocator_type get_allocator() const noexcept { return boost::asio::get_associated_allocator(handler); }

    // The socket is readable (or failed): receive what it holds without waiting.
    void operator()(boost::system::error_code ec) {
      std::size_t n = 0;
      if (!ec) n = stream->Socket().read_some(boost::asio::buffer(stream->storage_.get(), stream->capacity_), ec);
      if (ec == boost::asio::error::would_block) {
        stream->Socket().async_wait(boost::asio::socket_base::wait_read, std::move(*this));
        return;
      }
      (*this)(ec, n);
    }

    void operator()(boost::system::error_code ec, std::size_t received) {
      stream->begin_ = 0;
      stream->end_ = received;
      stream->drained_ = received < stream->capacity_;
      if (received == 0) return std::move(handler)(ec, std::size_t{0});
      std::move(handler)(boost::system::error_code{}, stream->TakeInto(into));
    }
  };

  auto& Socket() { return boost::beast::get_lowest_layer(next_).socket(); }

  template <class MutableBufferSequence>
  std::size_t TakeInto(const MutableBufferSequence& into) {
    const std::size_t n =
        boost::asio::buffer_copy(into, boost::asio::buffer(storage_.get() + begin_, end_ - begin_));
    begin_ += n;
    return n;
  }

  template <class MutableBufferSequence, class Handler>
  void Read(const MutableBufferSequence& into, Handler handler) {
    if (!storage_) {
      next_.async_read_some(into, std::move(handler));
      return;
    }
    if (begin_ < end_ || boost::asio::buffer_size(into) == 0) {
      // Held bytes are handed out as a completion of their own, never inside the initiation.
      const std::size_t n = TakeInto(into);
      auto executor = boost::asio::get_associated_executor(handler, next_.get_executor());
      boost::asio::post(executor, boost::beast::bind_front_handler(std::move(handler), boost::system::error_code{}, n));
      return;
    }
    Refill<MutableBufferSequence, Handler> refill{this, into, std::move(handler)};
    if (drained_) {
      Socket().async_wait(boost::asio::socket_base::wait_read, std::move(refill));
    } else {
      next_.async_read_some(boost::asio::buffer(storage_.get(), capacity_), std::move(refill));
    }
  }

  NextLayer next_;
  std::unique_ptr<char[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // the held bytes are storage_[begin_, end_)
  std::size_t end_ = 0;
  bool drained_ = false;  // the last receive left nothing behind it in the socket
};

// The close handshake tears down the layer below.
template <class NextLayer>
void teardown(boost::beast::role_type role, ReadAheadStream<NextLayer>& stream, boost::system::error_code& ec) {
  using boost::beast::websocket::teardown;
  teardown(role, stream.next_layer(), ec);
}

template <class NextLayer, class TeardownHandler>
void async_teardown(boost::beast::role_type role, ReadAheadStream<NextLayer>& stream, TeardownHandler&& handler) {
  using boost::beast::websocket::async_teardown;
  async_teardown(role, stream.next_layer(), std::forward<TeardownHandler>(handler));
}

}  // namespace vantor
