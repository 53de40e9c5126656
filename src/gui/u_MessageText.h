#pragma once
// The text of a message for the screen. A message is a byte string of two kinds of pieces:
// the file names in it are the system's own bytes (UTF-8 here), everything else is in the
// system ANSI code page. Each piece is decoded as what it is.

#include <QString>

#include <string>
#include <vector>

// message decoded, with every occurrence of one of fileNames taken as a file name (the
// longest where several start at the same place), and so is every quoted text that begins
// with "/": messages quote the paths they name, and every path the system hands out is
// absolute, such as the folder of a book.
QString MessageText(const std::string& message, const std::vector<std::string>& fileNames);
