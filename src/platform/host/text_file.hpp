#pragma once
// Plain text files below the program directory. Every line the service writes ends with CR LF;
// a file is opened, written and closed for each line or block.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

inline constexpr std::string_view kLineEnd = "\r\n";

// Replaces CR, LF and TAB by the two-character texts "\r", "\n" and "\t". Every text from a
// peer goes through it before it is written into a line of a log, report or statistics file, so
// that it stays one field of one line and cannot forge another line or column.
std::string EscapeForLine(std::string_view text);

// EscapeForLine on each part of `text` between `separator`s, which are kept: a header block keeps
// one header per line and a report line its columns, while nothing inside a part can break them.
std::string EscapeEachPart(std::string_view text, std::string_view separator);

// The writers below create the file. When its folder is missing but the folder above it exists
// (Log/ or Debug/ removed while the service runs), they make the folder again, tell the folder
// hook, and write; a file deeper below a missing folder is not written.

// Appends `text` + CR LF. Returns false when the file cannot be written.
bool AppendLine(const std::filesystem::path& file, std::string_view text);

// Appends `text` exactly as given (callers put the line ends in).
bool AppendText(const std::filesystem::path& file, std::string_view text);

// Replaces the file's content with `text`.
bool WriteText(const std::filesystem::path& file, std::string_view text);

// Called with each folder a writer has made again, on the writer's thread (any thread). The
// service sets it once, before its work starts; an empty hook clears it.
using FolderRemadeHook = std::function<void(const std::filesystem::path& folder)>;
void SetFolderRemadeHook(FolderRemadeHook hook);

// Splits a file into lines, accepting CR LF or LF endings. Returns false when it cannot be read.
bool ReadLines(const std::filesystem::path& file, std::vector<std::string>& lines);

// Files in `folder` whose names start with `prefix` and end with `suffix` (case-sensitive).
// A folder that does not exist holds no files.
std::vector<std::filesystem::path> MatchFiles(const std::filesystem::path& folder,
                                              std::string_view prefix, std::string_view suffix);

}  // namespace vantor
