#pragma once
// Boost error codes as the std::error_code the platform interfaces report. System and generic
// errors keep their value and category; anything else (a library's own category) becomes EIO.

#include <boost/system/error_code.hpp>

#include <system_error>

namespace vantor {

inline std::error_code ToStdErrorCode(const boost::system::error_code& ec) {
  if (!ec) return {};
  if (ec.category() == boost::system::system_category()) return {ec.value(), std::system_category()};
  if (ec.category() == boost::system::generic_category()) return {ec.value(), std::generic_category()};
  return std::make_error_code(std::errc::io_error);
}

}  // namespace vantor
