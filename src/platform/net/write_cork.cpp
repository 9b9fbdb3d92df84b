#include "platform/net/write_cork.hpp"

#include <boost/asio/post.hpp>

namespace vantor {

boost::asio::execution_context::id WriteCork::id;

WriteCork::WriteCork(boost::asio::execution_context& context)
    : boost::asio::execution_context::service(context), io_(static_cast<boost::asio::io_context&>(context)) {}

WriteCork& WriteCork::Of(boost::asio::io_context& io) { return boost::asio::use_service<WriteCork>(io); }

void WriteCork::Hold(std::shared_ptr<Writer> writer) {
  held_.push_back(std::move(writer));
  PostFlush();
}

void WriteCork::ReadEnded() {
  --readsUnderWay_;
  if (readsUnderWay_ == 0 && !held_.empty()) PostFlush();
}

void WriteCork::shutdown() {
  held_.clear();
  flushing_.clear();
}

void WriteCork::PostFlush() {
  if (flushPosted_) return;
  flushPosted_ = true;
  boost::asio::post(io_, [this] { FlushWhenReadsDone(); });
}

void WriteCork::FlushWhenReadsDone() {
  flushPosted_ = false;
  if (held_.empty()) return;
  if (readsUnderWay_ > 0 && deferrals_ < kMaxDeferrals) {
    ++deferrals_;
    PostFlush();
    return;
  }
  deferrals_ = 0;
  flushing_.swap(held_);
  for (auto& writer : flushing_) writer->FlushHeld();
  flushing_.clear();
}

}  // namespace vantor
