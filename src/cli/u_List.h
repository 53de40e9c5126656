#pragma once
// folioset-cli list: each book's files and folders without extracting them, as "tar -tv" lists
// an archive, or as JSON.

#include "cli/u_Arguments.h"
#include "cli/u_CommandLine.h"
#include "cli/u_JsonReport.h"
#include "cli/u_Verify.h"

// The statuses a listed book's object can end with.
std::vector<QString> ListStatuses();

// Lists each book of parsed's operands: several books each under a line naming it, a blank line
// between them; a book that cannot be read is its error line and the others are still listed.
// Exit status 0 only when every book was listed.
int ListBooks(const TParsedArguments& parsed, const TConsole& console, TJsonReport& json,
              const TBookShell& shell);
