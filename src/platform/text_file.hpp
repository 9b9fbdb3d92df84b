#pragma once
// Plain text files below the program directory. Every line the service writes ends with CR LF;
// a file is opened, written and closed for each line or block.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

inline constexpr std::string_view kLineEnd = "\r\n";

// Replaces CR and LF by the two-character texts "\r" and "\n", so one record stays one line.
std::string EscapeLineBreaks(std::string_view text);

// Appends `text` + CR LF, creating the file but never its folder. Returns false when the file
// cannot be written.
bool AppendLine(const std::filesystem::path& file, std::string_view text);

// Appends `text` exactly as given (callers put the line ends in).
bool AppendText(const std::filesystem::path& file, std::string_view text);

// Replaces the file's content with `text`.
bool WriteText(const std::filesystem::path& file, std::string_view text);

// Splits a file into lines, accepting CR LF or LF endings. Returns false when it cannot be read.
bool ReadLines(const std::filesystem::path& file, std::vector<std::string>& lines);

// Files in `folder` whose names start with `prefix` and end with `suffix` (case-sensitive).
// A folder that does not exist holds no files.
std::vector<std::filesystem::path> MatchFiles(const std::filesystem::path& folder,
                                              std::string_view prefix, std::string_view suffix);

}  // namespace vantor
