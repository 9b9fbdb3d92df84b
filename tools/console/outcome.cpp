#include "outcome.hpp"

#include <fmt/format.h>

#include <ostream>

namespace vantor::console {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char ch : text) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (ch < 0x20) out += fmt::format("\\u{:04x}", ch);
        else out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

JsonFields& JsonFields::Add(const std::string& key, const std::string& text) {
  return AddRaw(key, JsonString(text));
}

JsonFields& JsonFields::Add(const std::string& key, std::int64_t number) {
  return AddRaw(key, std::to_string(number));
}

JsonFields& JsonFields::Add(const std::string& key, bool flag) { return AddRaw(key, flag ? "true" : "false"); }

JsonFields& JsonFields::AddRaw(const std::string& key, std::string json) {
  fields_.emplace_back(key, std::move(json));
  return *this;
}

std::string JsonFields::Object() const {
  std::string out = "{";
  for (const auto& [key, value] : fields_) {
    if (out.size() > 1) out += ",";
    out += JsonString(key) + ":" + value;
  }
  return out + "}";
}

namespace {

int Outcome(const CommandContext& c, bool ok, const std::string& message, const JsonFields& fields) {
  if (c.json) {
    JsonFields all;
    all.Add("ok", ok).Add("message", message);
    // Re-encode: the command's fields follow ok and message.
    std::string object = all.Object();
    if (!fields.empty()) object = object.substr(0, object.size() - 1) + "," + fields.Object().substr(1);
    c.out << object << "\n";
    if (!ok) c.err << message << "\n";
  } else {
    (ok ? c.out : c.err) << message << "\n";
  }
  return ok ? kDone : kNotDone;
}

}  // namespace

int Done(const CommandContext& c, const std::string& message, JsonFields fields) {
  return Outcome(c, true, message, fields);
}

int NotDone(const CommandContext& c, const std::string& message, JsonFields fields) {
  return Outcome(c, false, message, fields);
}

int UsageError(const CommandContext& c, const std::string& problem, const std::string& form) {
  c.err << problem << "\nusage: vantor-console " << form << "\n";
  return kUsageError;
}

}  // namespace vantor::console
