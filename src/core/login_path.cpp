#include "core/login_path.hpp"

#include "core/text_fields.hpp"

namespace vantor {

namespace {

// The kind is told by where the path's marker appears anywhere in it; the fields are read at
// fixed positions from its start, as clients have always sent them.
LoginKind KindOf(std::string_view uri) {
  if (uri.find("/agt?") != std::string_view::npos) return LoginKind::kAgent;
  if (uri.find("/mob?") != std::string_view::npos) return LoginKind::kMobile;
  return LoginKind::kOther;
}

std::string PassOf(std::string_view uri) {
  const auto underscores = uri.find("__________");
  if (underscores == std::string_view::npos || underscores + 1 < 16) return {};
  return std::string(Mid(uri, 15, underscores + 1 - 15));
}

}  // namespace

LoginPath ReadLoginPath(std::string_view uri) {
  LoginPath path;
  path.kind = KindOf(uri);
  path.custID = std::string(Mid(uri, 6, 8));
  if (const auto slot = ParseNumber(Mid(uri, 6, 2))) path.slot = RoundHalfEven(*slot);
  path.pass = PassOf(uri);
  return path;
}

}  // namespace vantor
