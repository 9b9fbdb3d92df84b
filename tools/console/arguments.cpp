#include "arguments.hpp"

#include "outcome.hpp"

#include <fmt/format.h>

namespace vantor::console {

std::optional<std::string> CommandWords::Option(const std::string& name) const {
  auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

std::optional<CommandWords> ParseCommandWords(const CommandContext& c, const std::vector<std::string>& words,
                                              const WordRules& rules) {
  CommandWords parsed;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
      parsed.positional.push_back(word);
    } else if (rules.flags.count(word)) {
      parsed.flags.insert(word);
    } else if (rules.valueOptions.count(word)) {
      if (i + 1 >= words.size()) {
        UsageError(c, word + " needs a value", rules.form);
        return std::nullopt;
      }
      parsed.options[word] = words[++i];
    } else {
      UsageError(c, "Unknown option " + word, rules.form);
      return std::nullopt;
    }
  }
  const std::size_t n = parsed.positional.size();
  if (n < rules.minPositional || n > rules.maxPositional) {
    const std::string problem =
        n < rules.minPositional
            ? fmt::format("Missing argument: {} takes {} argument(s), {} given", rules.form, rules.minPositional, n)
            : fmt::format("Unexpected argument {}", parsed.positional[rules.maxPositional]);
    UsageError(c, problem, rules.form);
    return std::nullopt;
  }
  return parsed;
}

}  // namespace vantor::console
