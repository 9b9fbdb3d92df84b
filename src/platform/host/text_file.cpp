#include "platform/host/text_file.hpp"

#include <fstream>
#include <mutex>

namespace vantor {

std::string EscapeForLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

std::string EscapeEachPart(std::string_view text, std::string_view separator) {
  std::string out;
  for (std::size_t start = 0;;) {
    const auto end = text.find(separator, start);
    out += EscapeForLine(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return out;
    out += separator;
    start = end + separator.size();
  }
}

namespace fs = std::filesystem;

namespace {

std::mutex hookMutex;
FolderRemadeHook folderRemade;

// Opens `file` for writing; when that fails because its folder is gone, makes the folder (one
// level only) and opens it again.
std::ofstream OpenForWriting(const fs::path& file, std::ios::openmode mode) {
  std::ofstream out(file, mode);
  const fs::path folder = file.parent_path();
  std::error_code ec;
  if (out || folder.empty() || fs::exists(folder, ec)) return out;
  if (fs::create_directory(folder, ec)) {
    FolderRemadeHook hook;
    {
      std::lock_guard lock(hookMutex);
      hook = folderRemade;
    }
    if (hook) hook(folder);
  }
  if (ec) return out;  // the folder above is missing too, or not writable
  out.clear();
  out.open(file, mode);
  return out;
}

}  // namespace

void SetFolderRemadeHook(FolderRemadeHook hook) {
  std::lock_guard lock(hookMutex);
  folderRemade = std::move(hook);
}

bool AppendText(const fs::path& file, std::string_view text) {
  std::ofstream out = OpenForWriting(file, std::ios::binary | std::ios::app);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

bool AppendLine(const fs::path& file, std::string_view text) {
  std::string line;
  line.reserve(text.size() + kLineEnd.size());
  line.append(text).append(kLineEnd);
  return AppendText(file, line);
}

bool WriteText(const fs::path& file, std::string_view text) {
  std::ofstream out = OpenForWriting(file, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

bool ReadLines(const fs::path& file, std::vector<std::string>& lines) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  return !in.bad();
}

std::vector<fs::path> MatchFiles(const fs::path& folder, std::string_view prefix,
                                 std::string_view suffix) {
  std::vector<fs::path> matches;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) &&
        name.ends_with(suffix) && it->is_regular_file(ec)) {
      matches.push_back(it->path());
    }
  }
  return matches;
}

}  // namespace vantor
