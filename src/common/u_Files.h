#pragma once
// The temporary folder and whole-file reading and writing.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

// The temporary folder: TMPDIR when set, else /tmp; no trailing separator.
std::string TempFolder();

// Files read whole are inputs a user names: an icon, a values file. 256 MB is far above any
// real one (an icon of 256 uncompressed 256x256 images takes 64 MB) and keeps a source that
// never ends, such as /dev/zero, from taking all memory. Books have a limit of their own.
inline constexpr size_t MaxWholeFileSize = size_t(256) << 20;

// The whole file as bytes, read to its end whatever size it reports (a pipe works too);
// "Cannot open file "%s". %s" when it cannot be opened or is a folder, "Cannot read file
// "%s". %s" past limit bytes.
std::string LoadFileToString(const std::string& path, size_t limit = MaxWholeFileSize);

// Everything left to read from an open handle (standard input, say), read to its end;
// "Cannot read file "%s". %s" with name when reading fails or passes limit bytes.
std::string ReadHandleToEnd(int handle, const std::string& name, size_t limit = MaxWholeFileSize);

// The same from a stream (standard input as the command line has it), which could be a source
// that never ends, such as /dev/zero.
std::string ReadStreamToEnd(std::istream& in, const std::string& name,
                            size_t limit = MaxWholeFileSize);

// Creates the missing folders of path, then creates or truncates the file and writes bytes;
// "Cannot create file "%s". %s" when it cannot be created.
void SaveStringToFile(const std::string& bytes, const std::string& path);
