#pragma once
// Words for the causes the system gives (errno) where its own text alone would hide what went
// wrong or what to do: the one place that maps them.

#include <string>

// Where the new book of a brand goes: over the book, or a copy elsewhere.
enum class TWriteTarget { InPlace, Copy };

// The folder the new book is to be written in, refused by the system with code.
std::string FolderRefusalText(int code, const std::string& folder, TWriteTarget target);
// The book's own file, refused for writing in place with code.
std::string BookRefusalText(int code);
// Whether a brand in place refused with code would pass as a copy written elsewhere: the book
// or its folder cannot be written, but can be read.
bool CopyWouldDo(int code);
