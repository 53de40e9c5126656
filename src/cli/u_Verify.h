#pragma once
// folioset-cli verify: whether each book is sound (its PE checksum, its packed pages and their
// checksums, its variables) and signed with a signature that is valid and trusted.

#include "cli/u_Arguments.h"
#include "cli/u_CommandLine.h"
#include "cli/u_JsonReport.h"
#include "ebook/u_EBookDocument.h"

#include <functional>
#include <memory>
#include <string>

inline constexpr TOptionRule CaOption = {"--ca", true};

// The roots --ca FILE names, or the system's; a file that holds no certificate is an EFileError
// naming it.
std::shared_ptr<const TTrustStore> TrustOf(const TParsedArguments& parsed);

// The statuses a verified book's object can end with.
std::vector<QString> VerifyStatuses();

// What verify takes from the other commands: the code page books are read with, opening a book
// as they do (the number-th of count; a failure is an EFileError naming it), and the members
// every book's object has.
struct TBookShell {
  TCodePage CodePage;
  std::function<void(TEBookDocument& document, const std::string& book, int number, int count)>
      Open;
  std::function<QJsonObject(const std::string& book, const char* status)> Json;
};

// Verifies each book of parsed's operands; exit status 0 only when every book is sound and
// signed validly by a trusted signer (or, with --allow-unsigned, not signed at all).
int VerifyBooks(const TParsedArguments& parsed, const TConsole& console, TJsonReport& json,
                const TBookShell& shell);
