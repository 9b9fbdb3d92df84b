#pragma once
// Secrets the console needs (a mail password, an agent's pass) never come from the command line,
// where every local user can read them in the process list. They come from a file named by
// --secret-file, or from standard input: after a prompt and without echo on a terminal, else the
// first line of what is piped in.

#include "arguments.hpp"

#include <optional>
#include <string>

namespace vantor::console {

inline constexpr char kSecretFileOption[] = "--secret-file";

// The secret without its line end: the first line of the --secret-file in `words` when given,
// else one line of standard input (prompted with `prompt` on c.err when it is a terminal).
// Returns nullopt with `problem` set when the file cannot be read or nothing came, or the line
// is empty.
std::optional<std::string> ReadSecret(const CommandContext& c, const CommandWords& words, const std::string& prompt,
                                      std::string& problem);

}  // namespace vantor::console
