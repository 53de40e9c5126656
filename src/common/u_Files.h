#pragma once
// Temporary file names and whole-file reading and writing.

#include <cstdint>
#include <string>

// The temporary folder: TMPDIR when set, else /tmp; no trailing separator.
std::string TempFolder();

// A name in the temporary folder that names no existing file: the first three characters of
// prefix, the low 16 bits of number in hexadecimal, ".TMP", then extension. The number counts
// up from the given one until the name is free; nothing is created on disk.
std::string MakeTempFileName(const std::string& prefix, const std::string& extension,
                             int32_t number);

// The whole file as bytes; "Cannot open file "%s". %s" when it cannot be opened.
std::string LoadFileToString(const std::string& path);

// Creates the missing folders of path, then creates or truncates the file and writes bytes;
// "Cannot create file "%s". %s" when it cannot be created.
void SaveStringToFile(const std::string& bytes, const std::string& path);
