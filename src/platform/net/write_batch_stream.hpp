#pragma once
// A stream layer under a server-side WebSocket stream that lets several queued text messages
// leave in the system call of the first. The writer frames the later messages itself (a server
// frame is only a 2- to 10-byte header before the payload: no mask) and attaches them to the
// write of the first message; when the WebSocket stream writes that message, this layer sends
// the attached frames behind it in the same gather write. The WebSocket stream holds its write
// lock for the whole write, so no ping, pong or close frame of its own can come between them.
//
// The write that carries the batch is recognised by where its buffers end: at the end of the
// first message's payload. That holds because the stream writes an unfragmented, uncompressed
// message as its header and payload (auto_fragment off, no permessage-deflate). A write that
// never matched leaves the frames attached; the writer sees that (Attached()) and sends those
// messages one by one, so nothing is lost if the library ever writes differently.
//
// Reads and every other write pass straight through; the owner may watch the reads that reach
// this layer, which are the ones that wait for the socket (OnRead). Single-threaded, as its stream.

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace vantor {

// The header of an unmasked, final text frame of `payloadBytes`; returns its length (2, 4 or 10).
inline std::size_t EncodeTextFrameHeader(std::size_t payloadBytes, std::array<unsigned char, 10>& out) {
  out[0] = 0x81;  // FIN, opcode text
  if (payloadBytes < 126) {
    out[1] = static_cast<unsigned char>(payloadBytes);
    return 2;
  }
  if (payloadBytes <= 0xFFFF) {
    out[1] = 126;
    out[2] = static_cast<unsigned char>(payloadBytes >> 8);
    out[3] = static_cast<unsigned char>(payloadBytes);
    return 4;
  }
  out[1] = 127;
  for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<unsigned char>(std::uint64_t{payloadBytes} >> (56 - 8 * i));
  return 10;
}

template <class NextLayer>
class WriteBatchStream {
 public:
  using next_layer_type = NextLayer;
  using executor_type = typename NextLayer::executor_type;

  template <class... Args>
  explicit WriteBatchStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

  next_layer_type& next_layer() noexcept { return next_; }
  const next_layer_type& next_layer() const noexcept { return next_; }
  executor_type get_executor() noexcept { return next_.get_executor(); }

  // The next write whose buffers end at `anchorEnd` (the end of a message's payload) sends
  // `frames` behind its own bytes. The buffers must stay valid until Detach().
  void Attach(const void* anchorEnd, std::vector<boost::asio::const_buffer> frames) {
    anchorEnd_ = anchorEnd;
    frames_ = std::move(frames);
  }
  // True while attached frames have not been handed to a write.
  bool Attached() const noexcept { return !frames_.empty(); }
  void Detach() noexcept {
    frames_.clear();
    anchorEnd_ = nullptr;
  }

  // `watch` runs whenever a read reaches this layer, before it is passed down.
  void OnRead(std::function<void()> watch) { readWatch_ = std::move(watch); }

  template <class MutableBufferSequence, class ReadToken>
  auto async_read_some(const MutableBufferSequence& buffers, ReadToken&& token) {
    if (readWatch_) readWatch_();
    return next_.async_read_some(buffers, std::forward<ReadToken>(token));
  }

  template <class ConstBufferSequence, class WriteToken>
  auto async_write_some(const ConstBufferSequence& buffers, WriteToken&& token) {
    return boost::asio::async_initiate<WriteToken, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const ConstBufferSequence& own) { Write(own, std::move(handler)); }, token, buffers);
  }

 private:
  template <class ConstBufferSequence>
  bool EndsAtAnchor(const ConstBufferSequence& buffers) const {
    const void* end = nullptr;
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::const_buffer b(*it);
      if (b.size() > 0) end = static_cast<const char*>(b.data()) + b.size();
    }
    return end != nullptr && end == anchorEnd_;
  }

  template <class ConstBufferSequence, class Handler>
  void Write(const ConstBufferSequence& own, Handler handler) {
    if (frames_.empty() || !EndsAtAnchor(own)) {
      next_.async_write_some(own, std::move(handler));
      return;
    }
    std::vector<boost::asio::const_buffer> all;
    all.reserve(frames_.size() + 4);
    for (auto it = boost::asio::buffer_sequence_begin(own); it != boost::asio::buffer_sequence_end(own); ++it)
      all.emplace_back(*it);
    const std::size_t ownBytes = boost::asio::buffer_size(all);
    all.insert(all.end(), frames_.begin(), frames_.end());
    Detach();
    // The caller asked for its own bytes only; it learns of them, the batch goes in full.
    auto executor = boost::asio::get_associated_executor(handler, next_.get_executor());
    boost::asio::async_write(
        next_, std::move(all),
        boost::asio::bind_executor(executor, [handler = std::move(handler), ownBytes](
                                                 boost::system::error_code ec, std::size_t written) mutable {
          std::move(handler)(ec, std::min(written, ownBytes));
        }));
  }

  NextLayer next_;
  const void* anchorEnd_ = nullptr;
  std::vector<boost::asio::const_buffer> frames_;
  std::function<void()> readWatch_;
};

// The close handshake tears down the layer below.
template <class NextLayer>
void teardown(boost::beast::role_type role, WriteBatchStream<NextLayer>& stream, boost::system::error_code& ec) {
  using boost::beast::websocket::teardown;
  teardown(role, stream.next_layer(), ec);
}

template <class NextLayer, class TeardownHandler>
void async_teardown(boost::beast::role_type role, WriteBatchStream<NextLayer>& stream, TeardownHandler&& handler) {
  using boost::beast::websocket::async_teardown;
  async_teardown(role, stream.next_layer(), std::forward<TeardownHandler>(handler));
}

}  // namespace vantor
