#pragma once
// Holds the writes of the event loop back while WebSocket reads are still delivering messages
// from data already received, so that what a burst of messages queues for one connection leaves
// in one system call instead of one call per message. A relay that reads twenty answers from an
// agent in one receive then writes once to each mobile they are for, not twenty times.
//
// Sessions hand in the connections that have something to write (Hold) and mark each of their
// reads from the moment it is asked for until it either delivers a message or has to wait for the
// socket (ReadStarted / ReadEnded). A task posted to the loop flushes every held connection at
// once when it finds no read under way. A task that keeps finding reads under way (a stream of
// bursts from many connections, or a read held up by the library's own close handshake) flushes
// anyway after kMaxDeferrals passes, so no write waits longer than that many passes of the loop.
//
// One per io_context (a service of it, created on first use); every call on the loop's thread.

#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <memory>
#include <vector>

namespace vantor {

class WriteCork : public boost::asio::execution_context::service {
 public:
  // What the cork flushes: a connection with queued output.
  class Writer {
   public:
    virtual void FlushHeld() = 0;

   protected:
    ~Writer() = default;
  };

  // Passes of the loop a flush may wait for reads under way.
  static constexpr int kMaxDeferrals = 64;

  static boost::asio::execution_context::id id;

  explicit WriteCork(boost::asio::execution_context& context);

  // The cork of the loop `io` runs.
  static WriteCork& Of(boost::asio::io_context& io);

  // `writer` is flushed with the others once the reads under way have delivered what they hold.
  // The writer asks once per flush (it keeps its own "held" mark).
  void Hold(std::shared_ptr<Writer> writer);

  // A read is under way from ReadStarted until ReadEnded; each ReadStarted has one ReadEnded.
  void ReadStarted() { ++readsUnderWay_; }
  void ReadEnded();

 private:
  void shutdown() override;
  void PostFlush();
  void FlushWhenReadsDone();

  boost::asio::io_context& io_;
  std::vector<std::shared_ptr<Writer>> held_;
  std::vector<std::shared_ptr<Writer>> flushing_;  // kept to reuse its storage
  std::size_t readsUnderWay_ = 0;
  int deferrals_ = 0;
  bool flushPosted_ = false;
};

}  // namespace vantor
