// The hot-button memory file "memory.ctr": the ten buttons' tool tips, one per line, CR LF.
#pragma once

#include <QString>
#include <array>
#include <optional>

namespace trailmark {

inline constexpr int kHotButtonCount = 10;
using HotButtonTips = std::array<QString, kHotButtonCount>;
// A line holds at most one address: longer lines are not a memory file's.
inline constexpr qsizetype kMaxMemoryLine = 2048;

// Reads the first ten lines (a line ends at CR or CR LF; the last may end at the end of the
// file). Nothing when the file cannot be read, holds fewer than ten lines, or one of them is
// longer than kMaxMemoryLine bytes.
std::optional<HotButtonTips> ReadMemoryFile(const QString& path);

// Creates or replaces the file with the ten texts, each ended by CR LF. Fails, writing nothing,
// when a text is longer than kMaxMemoryLine bytes; the old file stays whole when writing fails.
bool WriteMemoryFile(const QString& path, const HotButtonTips& tips);

}  // namespace trailmark
