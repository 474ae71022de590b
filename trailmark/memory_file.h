// The hot-button memory file "memory.ctr": the ten buttons' tool tips, one per line, CR LF.
#pragma once

#include <QString>
#include <array>
#include <optional>

namespace trailmark {

inline constexpr int kHotButtonCount = 10;
using HotButtonTips = std::array<QString, kHotButtonCount>;

// Reads the first ten lines (a line ends at CR or CR LF; the last may end at the end of the
// file). Nothing when the file cannot be read or holds fewer than ten lines.
std::optional<HotButtonTips> ReadMemoryFile(const QString& path);

// Creates or replaces the file with the ten texts, each ended by CR LF. The old file stays
// whole when writing fails.
bool WriteMemoryFile(const QString& path, const HotButtonTips& tips);

}  // namespace trailmark
