#pragma once
// Temporary file names and whole-file reading and writing.

#include <cstddef>
#include <cstdint>
#include <string>

// The temporary folder: TMPDIR when set, else /tmp; no trailing separator.
std::string TempFolder();

// A name in the temporary folder that names no existing file: the first three characters of
// prefix, the low 16 bits of number in hexadecimal, ".TMP", then extension. The number counts
// up from the given one until the name is free; nothing is created on disk.
std::string MakeTempFileName(const std::string& prefix, const std::string& extension,
                             int32_t number);

// Files read whole are inputs a user names: an icon, a values file. 256 MB is far above any
// real one (an icon of 256 uncompressed 256x256 images takes 64 MB) and keeps a source that
// never ends, such as /dev/zero, from taking all memory.
inline constexpr size_t MaxWholeFileSize = size_t(256) << 20;

// The whole file as bytes, read to its end whatever size it reports (a pipe works too);
// "Cannot open file "%s". %s" when it cannot be opened or is a folder.
std::string LoadFileToString(const std::string& path);

// Everything left to read from an open handle (standard input, say), read to its end;
// "Cannot read file "%s". %s" with name when reading fails or passes limit bytes.
std::string ReadHandleToEnd(int handle, const std::string& name, size_t limit = MaxWholeFileSize);

// Creates the missing folders of path, then creates or truncates the file and writes bytes;
// "Cannot create file "%s". %s" when it cannot be created.
void SaveStringToFile(const std::string& bytes, const std::string& path);
