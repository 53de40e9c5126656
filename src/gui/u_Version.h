#pragma once
// The program's own title and version, read once at start, and its text form for the caption.

#include <array>
#include <string>

// The program's title, the caption of its error and progress boxes.
inline constexpr const char* SApplicationTitle = "Folioset";

// major, minor, release, build.
using TFileVersion = std::array<unsigned, 4>;

// The version this build carries; all four numbers stay 0 when the build does not name one.
extern const TFileVersion FileVersion;

// count numbers of version from firstIndex on (firstIndex + count <= 4), in decimal, joined
// by "."; empty when count is 0.
std::string VersionText(const TFileVersion& version, int firstIndex, int count);

// VersionText of FileVersion.
std::string GetVersionText(int firstIndex, int count);
