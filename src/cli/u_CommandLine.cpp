#include "cli/u_CommandLine.h"

#include "cli/u_StopSignals.h"
#include "common/u_AnsiText.h"
#include "common/u_Files.h"
#include "common/u_SysUtils.h"
#include "ebook/u_EBookDocument.h"
#include "resources/u_IconSizes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <filesystem>
#include <map>
#include <ostream>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const GeneralUsage =
    "Usage: folioset-cli COMMAND ...\n"
    "Commands:\n"
    "  show BOOK [--json]          the book's file, title, icon sizes and brandable variables\n"
    "  brand BOOK... [OPTIONS]     set brandable variables and the icon, as the window's Update\n"
    "  extract BOOK DIR [--force]  write the book's files into DIR\n"
    "Run 'folioset-cli COMMAND --help' for a command's options.\n";

const char* const ShowUsage =
    "Usage: folioset-cli show BOOK [--json]\n"
    "Shows the book's file name, expanded title, icon sizes and brandable variables, as the\n"
    "window's grid shows them. --json prints one object: file, title, icon, variables.\n";

const char* const BrandUsage =
    "Usage: folioset-cli brand BOOK... [--set NAME=VALUE]... [--values FILE.json]\n"
    "                          [--icon FILE.ico] [--output OUT]\n"
    "Sets brandable variables (--set, or a JSON object of names and values) and optionally a\n"
    "new icon, and writes them into each book as the window's Update does. An unknown or\n"
    "hidden name is an error and nothing is written. --output writes a branded copy and leaves\n"
    "the book untouched; with several books, or when OUT is a folder, the copies go into it\n"
    "under the books' own names. An output that is one of the books, or that two books would\n"
    "share, is refused before anything is written.\n";

const char* const ExtractUsage =
    "Usage: folioset-cli extract BOOK DIR [--force]\n"
    "Writes every file of the book's content into the folder DIR, names in UTF-8. An existing\n"
    "name is an error; --force replaces existing files (a link is replaced, never followed).\n";

// A usage mistake: reported with the command's usage.
class EUsageError : public Exception {
  using Exception::Exception;
};

bool IsHelp(const std::string& argument) {
  return argument == "--help" || argument == "-h";
}

// Texts of the book (names, values, title) are in its code page; file names are the system's
// own bytes and are printed as they are.
std::string Utf8(const std::string& ansi) {
  return AnsiToUtf8(ansi);
}

// The value of an option that takes one ("--set X" or "--set=X").
std::string OptionValue(const std::vector<std::string>& arguments, size_t& i,
                        const std::string& option) {
  const std::string& argument = arguments[i];
  if (argument.size() > option.size() && argument[option.size()] == '=')
    return argument.substr(option.size() + 1);
  if (i + 1 >= arguments.size())
    throw EUsageError(option + " needs a value");
  return arguments[++i];
}

bool IsOption(const std::string& argument, const std::string& option) {
  return argument == option || argument.rfind(option + "=", 0) == 0;
}

// "32x32 (8 bpp), 48x48 (24 bpp)".
std::string IconDetailsText(const std::string& icoBytes) {
  std::string text;
  for (const TIconImageInfo& image : IconImageInfos(icoBytes)) {
    if (!text.empty())
      text += ", ";
    text += Format("%dx%d (%d bpp)", image.Width, image.Height, image.BitsPerPixel);
  }
  return text.empty() ? "none" : text;
}

int Show(const std::vector<std::string>& arguments, std::ostream& out) {
  std::string book;
  bool json = false;
  for (const std::string& argument : arguments) {
    if (argument == "--json")
      json = true;
    else if (argument.rfind("--", 0) == 0)
      throw EUsageError("unknown option " + argument);
    else if (book.empty())
      book = argument;
    else
      throw EUsageError("show takes one book");
  }
  if (book.empty())
    throw EUsageError("show needs a book");

  TEBookDocument document;
  document.OpenEBook(book);
  const std::string& iconGroup = document.EBookIconGroup();
  if (json) {
    QJsonArray icon;
    for (const TIconImageInfo& image : IconImageInfos(iconGroup))
      icon.append(QJsonObject{
          {"width", image.Width}, {"height", image.Height}, {"bitsPerPixel", image.BitsPerPixel}});
    QJsonArray variables;
    for (const TVariableRow& row : document.Rows())
      variables.append(QJsonObject{{"name", QString::fromStdString(Utf8(row.Name))},
                                   {"value", QString::fromStdString(Utf8(row.Value))}});
    const QJsonObject result{{"file", QString::fromStdString(book)},
                             {"title", QString::fromStdString(Utf8(document.Title()))},
                             {"icon", icon},
                             {"variables", variables}};
    out << QJsonDocument(result).toJson(QJsonDocument::Indented).toStdString();
    return ExitSuccess;
  }
  out << "File:  " << book << "\n"
      << "Title: " << Utf8(document.Title()) << "\n"
      << "Icon:  " << IconDetailsText(iconGroup) << "\n"
      << "Variables:\n";
  for (const TVariableRow& row : document.Rows())
    out << "  " << Utf8(row.Name) << " = " << Utf8(row.Value) << "\n";
  return ExitSuccess;
}

// Names and values to brand, in the book's code page, in the order given.
using TBrandValues = std::vector<TVariableRow>;

void AddBrandValue(TBrandValues& values, const std::string& utf8Name,
                   const std::string& utf8Value) {
  if (utf8Name.empty())
    throw EUsageError("a variable name is empty");
  values.push_back({Utf8ToAnsi(utf8Name), Utf8ToAnsi(utf8Value)});
}

void ReadValuesFile(TBrandValues& values, const std::string& path) {
  QJsonParseError error;
  const std::string bytes = LoadFileToString(path);
  const QJsonDocument json =
      QJsonDocument::fromJson(QByteArray(bytes.data(), qsizetype(bytes.size())), &error);
  if (error.error != QJsonParseError::NoError)
    throw Exception(Format("%s: not valid JSON at offset %d: %s", path.c_str(), int(error.offset),
                           error.errorString().toStdString().c_str()));
  if (!json.isObject())
    throw Exception(path + ": expected a JSON object of names and text values");
  const QJsonObject object = json.object();
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (!it.value().isString())
      throw Exception(path + ": the value of \"" + it.key().toStdString() + "\" is not text");
    AddBrandValue(values, it.key().toStdString(), it.value().toString().toStdString());
  }
}

// The grid's rows with the given values put in; an unknown or hidden name is an error.
TVariableRows BrandedRows(const TVariableRows& rows, const TBrandValues& values,
                          const std::string& book) {
  TVariableRows result = rows;
  for (const TVariableRow& value : values) {
    bool found = false;
    for (TVariableRow& row : result)
      if (AnsiCompareText(row.Name, value.Name) == 0) {
        row.Value = value.Value;
        found = true;
      }
    if (!found)
      throw Exception(Format("\"%s\" is not a brandable variable of %s", Utf8(value.Name).c_str(),
                             book.c_str()));
  }
  return result;
}

// Where each book's branded copy goes: nowhere without --output (the book is branded in
// place); OUT/<book's name> when there are several books or OUT is a folder (as cp does);
// OUT itself otherwise.
std::vector<std::string> OutputsFor(const std::vector<std::string>& books,
                                    const std::string& output) {
  std::vector<std::string> outputs;
  const bool intoFolder = books.size() > 1 || std::filesystem::is_directory(output);
  for (const std::string& book : books)
    outputs.push_back(
        output.empty() || !intoFolder
            ? output
            : (std::filesystem::path(output) / std::filesystem::path(book).filename()).string());
  return outputs;
}

// Whether two paths name one file: the same inode (any path, link or hard link to it), or, for
// names not there yet, the same place.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error, errorA, errorB;
  if (std::filesystem::equivalent(a, b, error) && !error)
    return true;
  const std::filesystem::path placeA = std::filesystem::weakly_canonical(a, errorA);
  const std::filesystem::path placeB = std::filesystem::weakly_canonical(b, errorB);
  return !errorA && !errorB && placeA == placeB;
}

// Refuses, before anything is written, outputs that would overwrite a book being branded or
// each other.
void CheckOutputs(const std::vector<std::string>& books, const std::vector<std::string>& outputs) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].empty())
      continue;
    for (const std::string& book : books)
      if (SameFile(outputs[i], book))
        throw Exception(Format("%s would overwrite the book %s itself; choose another --output",
                               outputs[i].c_str(), book.c_str()));
    for (size_t j = 0; j < i; ++j)
      if (SameFile(outputs[i], outputs[j]))
        throw Exception(Format("%s and %s would both be written to %s", books[j].c_str(),
                               books[i].c_str(), outputs[i].c_str()));
  }
}

// A stop signal takes effect between the document's steps.
void StopBetweenSteps(TEBookDocument& document) {
  document.OnProgress = [](TEBookStep, int) { StopIfAsked(); };
}

// Brands one book, in place or into a copy at target; prints the summary line. Names are
// checked before anything is written.
void BrandBook(const std::string& book, const std::string& target, const TBrandValues& values,
               const std::string& icon, std::ostream& out) {
  TEBookDocument document;
  StopBetweenSteps(document);
  document.OpenEBook(book);
  const TVariableRows rows = BrandedRows(document.Rows(), values, book);
  if (!icon.empty())
    document.LoadNewIcon(icon);
  // A copy is written whole beside its target and renamed into place, so a failure or a stop
  // leaves whatever was at the target as it was.
  const bool signatureRemoved = document.UpdateEBook(rows, target).SignatureRemoved;
  out << "branded " << book;
  if (!target.empty())
    out << " -> " << target;
  out << ": " << values.size() << (values.size() == 1 ? " value" : " values") << " set, icon "
      << (icon.empty() ? "kept" : "replaced")
      << (signatureRemoved ? " (its digital signature was removed)" : "") << "\n";
}

int Brand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::vector<std::string> books;
  TBrandValues values;
  std::string iconPath;
  std::string output;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (IsOption(argument, "--set")) {
      const std::string assignment = OptionValue(arguments, i, "--set");
      const size_t equals = assignment.find('=');
      if (equals == std::string::npos)
        throw EUsageError("--set takes NAME=VALUE, not " + assignment);
      AddBrandValue(values, assignment.substr(0, equals), assignment.substr(equals + 1));
    } else if (IsOption(argument, "--values")) {
      ReadValuesFile(values, OptionValue(arguments, i, "--values"));
    } else if (IsOption(argument, "--icon")) {
      iconPath = OptionValue(arguments, i, "--icon");
    } else if (IsOption(argument, "--output")) {
      output = OptionValue(arguments, i, "--output");
    } else if (argument.rfind("--", 0) == 0) {
      throw EUsageError("unknown option " + argument);
    } else {
      books.push_back(argument);
    }
  }
  if (books.empty())
    throw EUsageError("brand needs at least one book");
  const bool several = books.size() > 1;
  if (several && !output.empty() && !std::filesystem::is_directory(output))
    throw EUsageError("with several books --output must be an existing folder");

  const std::vector<std::string> outputs = OutputsFor(books, output);
  CheckOutputs(books, outputs);
  const std::string icon = iconPath.empty() ? std::string() : LoadFileToString(iconPath);
  int failed = 0;
  for (size_t i = 0; i < books.size(); ++i) {
    const std::string& book = books[i];
    try {
      StopIfAsked();
      BrandBook(book, outputs[i], values, icon, out);
    } catch (const EStopped&) {
      throw;
    } catch (const std::exception& e) {
      if (!several)
        throw;
      err << "folioset-cli: " << book << ": " << e.what() << "\n";
      ++failed;
    }
  }
  if (several)
    out << books.size() - failed << " branded, " << failed << " failed\n";
  return failed == 0 ? ExitSuccess : ExitFailure;
}

int Extract(const std::vector<std::string>& arguments) {
  std::vector<std::string> paths;
  bool force = false;
  for (const std::string& argument : arguments) {
    if (argument == "--force")
      force = true;
    else if (argument.rfind("--", 0) == 0)
      throw EUsageError("unknown option " + argument);
    else
      paths.push_back(argument);
  }
  if (paths.size() != 2)
    throw EUsageError("extract takes a book and a folder");
  TEBookDocument document;
  StopBetweenSteps(document);
  document.OpenEBook(paths[0]);
  document.SaveContentToDisk(paths[1], force);
  return ExitSuccess;
}

const char* UsageOf(const std::string& command) {
  if (command == "show")
    return ShowUsage;
  if (command == "brand")
    return BrandUsage;
  if (command == "extract")
    return ExtractUsage;
  return GeneralUsage;
}

int RunCommand(const std::string& command, const std::vector<std::string>& arguments,
               std::ostream& out, std::ostream& err) {
  if (command == "show")
    return Show(arguments, out);
  if (command == "brand")
    return Brand(arguments, out, err);
  if (command == "extract")
    return Extract(arguments);
  throw EUsageError("unknown command " + command);
}

} // namespace

int RunCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
  if (arguments.empty() || IsHelp(arguments[0])) {
    (arguments.empty() ? err : out) << GeneralUsage;
    return arguments.empty() ? ExitUsage : ExitSuccess;
  }
  const std::string& command = arguments[0];
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  for (const std::string& argument : rest)
    if (IsHelp(argument)) {
      out << UsageOf(command);
      return ExitSuccess;
    }
  const TStopSignals stopSignals;
  try {
    const int status = RunCommand(command, rest, out, err);
    StopIfAsked(); // a command that ran to its end still reports the stop asked of it
    return status;
  } catch (const EStopped& e) {
    err << "folioset-cli: " << e.what() << "\n";
    return e.ExitStatus();
  } catch (const EUsageError& e) {
    err << "folioset-cli: " << e.what() << "\n" << UsageOf(command);
    return ExitUsage;
  } catch (const std::exception& e) {
    err << "folioset-cli: " << e.what() << "\n";
    return ExitFailure;
  }
}
