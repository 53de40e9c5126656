#pragma once
// The text of a message for the screen: each piece decoded as what it is (MessageToUtf8).

#include <QString>

#include <string>
#include <vector>

// message decoded, with every occurrence of one of fileNames taken as a file name (the
// longest where several start at the same place).
QString MessageText(const std::string& message, const std::vector<std::string>& fileNames);
