#pragma once
// show --template: a manifest for "brand --manifest" that names the books and holds every
// brandable variable's stored value, so that branded from untouched it changes nothing; the
// user fills in what is to change.

#include "cli/u_ValuesJson.h"
#include "ebook/u_EBookDocument.h"

#include <iosfwd>

#include <string>
#include <vector>

enum class TTemplateFormat { Csv, JsonLines };

// The format --template names ("csv" or "jsonl"); EUsageError for any other.
TTemplateFormat TemplateFormatOf(const std::string& name);

// One book of the template: its path as given, the code page its texts were read in, and its
// brandable variables with their stored values (UTF-8).
struct TTemplateBook {
  std::string Path;
  int CodePage = 0;
  TNamedValues Values;
};

// The template's book of an open document: its brandable variables as stored.
TTemplateBook TemplateBookOf(const TEBookDocument& document, const std::string& path);

// show --names: the brandable variables' names (UTF-8), a line each, for shell completion.
void WriteNames(std::ostream& out, const TEBookDocument& document);

// Why format cannot name the book at path (JSON Lines holds a path as UTF-8 text); empty when
// it can.
std::string TemplateCannotName(TTemplateFormat format, const std::string& path);

// The manifest of the books. CSV: a header of book, icon, output, codePage and a column for each
// variable of any book, then a row per book, icon and output empty, a variable the book lacks
// an empty cell.
// JSON Lines: an object per book with its variables in "set".
std::string ManifestTemplate(TTemplateFormat format, const std::vector<TTemplateBook>& books);
