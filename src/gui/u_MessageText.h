#pragma once
// The text of a message for the screen: each piece decoded as what it is (MessageToUtf8).

#include "common/u_AnsiText.h"

#include <QString>

#include <string>
#include <vector>

QString MessageText(const TCodePage& codePage, const std::string& message,
                    const std::vector<std::string>& fileNames);

// What an error box says beside a message about a book, which the message itself may not
// name: the book, and the copy an Update a Copy was to write.
QString BookInQuestion(const QString& book, const QString& copy = {});
