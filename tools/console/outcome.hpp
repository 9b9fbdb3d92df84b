#pragma once
// How every console command tells what happened. In words: one line on stdout when something
// was done, on stderr when nothing was. With --json: one object on stdout,
//   {"ok": true|false, "message": "<the same words>", <fields of the command>...}
// and the words on stderr as well when nothing was done.

#include "commands.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor::console {

// The fields of a JSON object, kept in the order they were added.
class JsonFields {
 public:
  JsonFields& Add(const std::string& key, const std::string& text);
  JsonFields& Add(const std::string& key, const char* text) { return Add(key, std::string(text)); }
  JsonFields& Add(const std::string& key, std::int64_t number);
  JsonFields& Add(const std::string& key, int number) { return Add(key, std::int64_t{number}); }
  JsonFields& Add(const std::string& key, bool flag);
  // `json` must already be valid JSON (an array or object built elsewhere).
  JsonFields& AddRaw(const std::string& key, std::string json);

  // "{...}" with the fields in order.
  std::string Object() const;
  bool empty() const { return fields_.empty(); }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;  // key, encoded value
};

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// Exit statuses of every command.
inline constexpr int kDone = 0;
inline constexpr int kNotDone = 1;
inline constexpr int kUsageError = 2;

// Writes the outcome as described above; returns kDone or kNotDone.
int Done(const CommandContext& c, const std::string& message, JsonFields fields = {});
int NotDone(const CommandContext& c, const std::string& message, JsonFields fields = {});

// A usage error: the problem and the command's form on stderr, exit status 2.
int UsageError(const CommandContext& c, const std::string& problem, const std::string& form);

}  // namespace vantor::console
