#pragma once
// The options that only inform: "--help", "--version" and "--check". They are answered before the
// single-instance lock and write no file at all, so they are safe beside a running service and in
// a read-only program directory.

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace vantor {

// The project version the program was built as, e.g. "1.0".
std::string ProgramVersion();

// The exit status of an informing option, or nullopt when `commandLine` is none of them.
// "--check" opens the program directory's database read-only and prints each settings problem
// on `out` ("<Column>: <problem>") or "Settings OK"; 0 when none, 1 on any problem, 2 when the
// database cannot be read (the reason on `err`).
std::optional<int> AnswerQueryOption(const std::string& commandLine,
                                     const std::filesystem::path& programDir, std::ostream& out,
                                     std::ostream& err);

}  // namespace vantor
