#include "secret_input.hpp"

#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

namespace vantor::console {

namespace {

std::string WithoutLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> ReadFromFile(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return WithoutLineEnd(line);
}

std::optional<std::string> ReadFromStdin(const CommandContext& c, const std::string& prompt) {
  const bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    c.err << prompt << ": " << std::flush;
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    c.err << "\n";
  }
  if (!read) return std::nullopt;
  return WithoutLineEnd(line);
}

}  // namespace

std::optional<std::string> ReadSecret(const CommandContext& c, const CommandWords& words, const std::string& prompt,
                                      std::string& problem) {
  const auto file = words.Option(kSecretFileOption);
  auto secret = file ? ReadFromFile(*file) : ReadFromStdin(c, prompt);
  if (secret && !secret->empty()) return secret;
  problem = file ? "Nothing could be read from the secret file " + *file
                 : std::string("Nothing was given on standard input (or in a file named by --secret-file)");
  return std::nullopt;
}

}  // namespace vantor::console
