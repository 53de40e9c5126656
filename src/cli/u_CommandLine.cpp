#include "cli/u_CommandLine.h"

#include "cli/u_Arguments.h"
#include "cli/u_BrandReport.h"
#include "cli/u_ErrorLine.h"
#include "cli/u_ProgressLine.h"
#include "cli/u_StopSignals.h"
#include "cli/u_ValuesJson.h"
#include "common/u_AnsiText.h"
#include "common/u_Clock.h"
#include "common/u_Files.h"
#include "common/u_SysUtils.h"
#include "ebook/u_EBookDocument.h"
#include "resources/u_IconSizes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <sys/stat.h>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const GeneralUsage =
    "Usage: folioset-cli COMMAND [OPTION]... [--] ARGUMENT...\n"
    "Commands:\n"
    "  show BOOK [--json]          the book's file, title, icon sizes and brandable variables\n"
    "  brand BOOK... [OPTIONS]     set brandable variables and the icon, as the window's Update\n"
    "  extract BOOK DIR [--force]  write the book's files into DIR\n"
    "Options of every command:\n"
    "  -h, --help                  show this help (or the command's) and exit\n"
    "      --version               show the version and exit\n"
    "  -q, --quiet                 no progress line on the terminal\n"
    "  --                          what follows is a book or folder even if it begins with -\n"
    "Run 'folioset-cli COMMAND --help' for a command's options; 'man folioset-cli' tells all.\n";

const char* const ShowUsage =
    "Usage: folioset-cli show [--json] [--quiet] [--] BOOK\n"
    "Shows the book's file name, expanded title, icon sizes and brandable variables, as the\n"
    "window's grid shows them. --json prints one object: file, title, icon, variables.\n";

const char* const BrandUsage =
    "Usage: folioset-cli brand [--set NAME=VALUE]... [--values FILE.json|-] [--icon FILE.ico]\n"
    "                          [--output OUT] [--json] [--quiet] [--] BOOK...\n"
    "Sets brandable variables (--set, or a JSON object of names and values; '-' reads it from\n"
    "standard input) and optionally a new icon, and writes them into each book as the window's\n"
    "Update does. An unknown or hidden name is an error and nothing is written. --output writes\n"
    "a branded copy and leaves the book untouched; with several books, or when OUT is a folder,\n"
    "the copies go into it under the books' own names; '-' writes the one book's copy to\n"
    "standard output. An output that is one of the books, that two books would share, or that\n"
    "is no regular file is refused before anything is written. --json prints one JSON "
    "document: each book's path, output, result\n"
    "(\"ok\" or the error) and whether a signature was removed, then the totals.\n"
    "With SOURCE_DATE_EPOCH set, every time stamp written comes from it (reproducible output).\n";

const char* const ExtractUsage =
    "Usage: folioset-cli extract [--force] [--] BOOK DIR\n"
    "Writes every file of the book's content into the folder DIR, names in UTF-8. Every name\n"
    "is checked before anything is written. An existing folder is used as it is; an existing\n"
    "file is an error unless --force replaces it (a link is replaced, never followed).\n";

const char* const StandardInputName = "-";
const char* const StandardOutputName = "-";
const char* const StandardInputTitle = "standard input";

const std::vector<std::string> HelpOptions = {"-h", "--help"};
const std::vector<std::string> VersionOptions = {"--version"};
const TOptionSpec QuietOption = {"--quiet", false};
const TOptionSpec ShortQuietOption = {"-q", false};

bool Quiet(const TParsedArguments& parsed) {
  return parsed.Has(QuietOption.Name) || parsed.Has(ShortQuietOption.Name);
}

// Texts of the book (names, values, title) are in its code page; file names are the system's
// own bytes and are printed as they are.
std::string Utf8(const std::string& ansi) {
  return AnsiToUtf8(ansi);
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

// Reports progress, and stops the command at the next step when a stop signal came (what
// the document is doing then fails whole, leaving the book as it was).
TEBookProgressEvent StoppingProgress(TEBookProgressEvent onProgress) {
  return [onProgress = std::move(onProgress)](TEBookStep step, int percent) {
    if (onProgress)
      onProgress(step, percent);
    StopIfAsked();
  };
}

// Opens book, drawing progress on line; a failure names the book.
void OpenBook(TEBookDocument& document, const std::string& book, TProgressLine& line) {
  line.SetBook(book, 1, 1);
  document.OnProgress = StoppingProgress(line.Event());
  try {
    document.OpenEBook(book);
  } catch (const std::exception& e) {
    throw EFileError(book, e.what());
  }
  line.Clear();
}

int Show(const std::vector<std::string>& arguments, const TConsole& console) {
  const TParsedArguments parsed =
      ParseArguments(arguments, {{"--json", false}, QuietOption, ShortQuietOption});
  if (parsed.Operands.size() != 1)
    throw EUsageError(parsed.Operands.empty() ? "show needs a book" : "show takes one book");
  const std::string& book = parsed.Operands[0];

  TEBookDocument document;
  TProgressLine line(console.Err, console.ErrIsTerminal && !Quiet(parsed));
  OpenBook(document, book, line);
  std::ostream& out = console.Out;
  const std::string& iconGroup = document.EBookIconGroup();
  if (parsed.Has("--json")) {
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

void ReadValuesFile(TBrandValues& values, const std::string& path, std::istream& in) {
  const bool standardInput = path == StandardInputName;
  const std::string file = standardInput ? StandardInputTitle : path;
  try {
    const std::string bytes = standardInput ? ReadStreamToEnd(in, file) : LoadFileToString(path);
    for (const auto& [name, value] : ParseValuesJson(bytes))
      AddBrandValue(values, name, value);
  } catch (const EUsageError&) {
    throw;
  } catch (const std::exception& e) {
    throw EFileError(file, e.what());
  }
}

// The grid's rows with the given values put in; an unknown or hidden name is an error. Names
// are found through the rows sorted as the store sorts them, not by comparing each name with
// each row: twenty thousand names would otherwise take a minute of collator calls.
TVariableRows BrandedRows(const TVariableRows& rows, const TBrandValues& values) {
  TVariableRows result = rows;
  // Row indexes ordered by name; the comparison takes an index or a name on either side.
  struct TByName {
    const TVariableRows& rows;
    bool operator()(size_t a, size_t b) const {
      return AnsiCompareText(rows[a].Name, rows[b].Name) < 0;
    }
    bool operator()(size_t a, const std::string& b) const {
      return AnsiCompareText(rows[a].Name, b) < 0;
    }
    bool operator()(const std::string& a, size_t b) const {
      return AnsiCompareText(a, rows[b].Name) < 0;
    }
  };
  const TByName byName{result};
  std::vector<size_t> sorted(result.size());
  for (size_t i = 0; i < sorted.size(); ++i)
    sorted[i] = i;
  std::sort(sorted.begin(), sorted.end(), byName);
  for (const TVariableRow& value : values) {
    StopIfAsked();
    const auto [first, last] = std::equal_range(sorted.begin(), sorted.end(), value.Name, byName);
    if (first == last)
      throw Exception(Format("\"%s\" is not a brandable variable", Utf8(value.Name).c_str()));
    for (auto row = first; row != last; ++row)
      result[*row].Value = value.Value;
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

// Whether something other than a regular file is at path (a link is not followed): a FIFO, a
// device or a link replaced by the branded book would lose what it is.
bool NoRegularFileAt(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

// Refuses, before anything is written, outputs that would overwrite a book being branded or
// each other, or something that is no regular file.
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
    if (NoRegularFileAt(outputs[i]))
      throw Exception(
          Format("%s is not a regular file; choose another --output", outputs[i].c_str()));
  }
}

// Brands one book, in place or into a copy at target; returns whether a signature was removed.
// Names are checked before anything is written. A copy is written whole beside its target and
// renamed into place, so a failure or a stop leaves whatever was at the target as it was.
// A target of "-" is standard output, where the branded book goes whole once it is made.
bool BrandBook(const std::string& book, const std::string& target, const TBrandValues& values,
               const std::string& icon, const TEBookProgressEvent& onProgress, std::ostream& out) {
  TEBookDocument document;
  document.OnProgress = StoppingProgress(onProgress);
  // In place the book's lock is held from this read to the rename of the new book, so a
  // second process branding it waits and then brands the new book.
  document.OpenEBook(book, target.empty());
  const TVariableRows rows = BrandedRows(document.Rows(), values);
  if (!icon.empty())
    document.LoadNewIcon(icon);
  if (target != StandardOutputName)
    return document.UpdateEBook(rows, target).SignatureRemoved;
  TEBookUpdateResult result;
  const std::string image = document.BrandedImage(rows, result);
  if (!out.write(image.data(), std::streamsize(image.size())).flush())
    throw EWriteError("Cannot write the branded book to standard output");
  return result.SignatureRemoved;
}

std::string BrandedLine(const TBrandOutcome& outcome, size_t valueCount, bool iconReplaced) {
  std::string line = "branded " + outcome.Book;
  if (outcome.Output != outcome.Book)
    line += " -> " + outcome.Output;
  line += ": " + std::to_string(valueCount) + (valueCount == 1 ? " value" : " values") +
          " set, icon " + (iconReplaced ? "replaced" : "kept") +
          (outcome.SignatureRemoved ? " (its digital signature was removed)" : "") + "\n";
  return line;
}

int Brand(const std::vector<std::string>& arguments, const TConsole& console) {
  const TParsedArguments parsed = ParseArguments(arguments, {{"--set", true},
                                                             {"--values", true},
                                                             {"--icon", true},
                                                             {"--output", true},
                                                             {"--json", false},
                                                             QuietOption,
                                                             ShortQuietOption});
  TBrandValues values;
  std::string iconPath;
  std::string output;
  for (const auto& [option, value] : parsed.Options) {
    if (option == "--set") {
      const size_t equals = value.find('=');
      if (equals == std::string::npos)
        throw EUsageError("--set takes NAME=VALUE, not " + value);
      AddBrandValue(values, value.substr(0, equals), value.substr(equals + 1));
    } else if (option == "--values") {
      ReadValuesFile(values, value, console.In);
    } else if (option == "--icon") {
      iconPath = value;
    } else if (option == "--output") {
      output = value;
    }
  }
  const std::vector<std::string>& books = parsed.Operands;
  if (books.empty())
    throw EUsageError("brand needs at least one book");
  const bool several = books.size() > 1;
  const bool toStandardOutput = output == StandardOutputName;
  if (toStandardOutput && (several || parsed.Has("--json")))
    throw EUsageError("--output - takes one book and no --json: the book is all it writes");
  if (toStandardOutput && console.OutIsTerminal)
    throw EUsageError("--output - writes the branded book to standard output, not to a terminal");
  if (several && !output.empty() && !std::filesystem::is_directory(output))
    throw EUsageError("with several books --output must be an existing folder");
  // Refused before any book is touched, rather than stamping with the clock after all.
  try {
    SourceDateEpoch();
  } catch (const EConvertError& e) {
    throw EUsageError(e.Message());
  }

  std::string icon;
  if (!iconPath.empty()) {
    try {
      icon = LoadFileToString(iconPath);
    } catch (const std::exception& e) {
      throw EFileError(iconPath, e.what());
    }
  }
  const std::vector<std::string> outputs =
      toStandardOutput ? std::vector<std::string>{output} : OutputsFor(books, output);
  if (!toStandardOutput)
    CheckOutputs(books, outputs);
  const bool json = parsed.Has("--json");
  TProgressLine line(console.Err, console.ErrIsTerminal && !Quiet(parsed));
  std::vector<TBrandOutcome> outcomes;
  int failed = 0;
  for (size_t i = 0; i < books.size(); ++i) {
    const std::string& book = books[i];
    StopIfAsked();
    TBrandOutcome outcome{book, outputs[i].empty() ? book : outputs[i], {}};
    line.SetBook(book, int(outcomes.size()) + 1, int(books.size()));
    try {
      outcome.SignatureRemoved =
          BrandBook(book, outputs[i], values, icon, line.Event(), console.Out);
    } catch (const std::exception& e) {
      if (StopSignal() != 0)
        throw; // the batch stops here; the book is as it was
      outcome.Error = OneLine(e.what());
      ++failed;
    }
    line.Clear();
    if (!outcome.Error.empty())
      console.Err << ErrorLine(book, outcome.Error);
    else if (!json && !toStandardOutput)
      console.Out << BrandedLine(outcome, values.size(), !icon.empty());
    outcomes.push_back(std::move(outcome));
  }
  if (json)
    console.Out << BrandReportJson(outcomes);
  else if (several)
    console.Out << books.size() - failed << " branded, " << failed << " failed\n";
  return failed == 0 ? ExitSuccess : ExitFailure;
}

int Extract(const std::vector<std::string>& arguments, const TConsole& console) {
  const TParsedArguments parsed =
      ParseArguments(arguments, {{"--force", false}, QuietOption, ShortQuietOption});
  if (parsed.Operands.size() != 2)
    throw EUsageError("extract takes a book and a folder");
  const std::string& book = parsed.Operands[0];
  TEBookDocument document;
  TProgressLine line(console.Err, console.ErrIsTerminal && !Quiet(parsed));
  OpenBook(document, book, line);
  try {
    document.SaveContentToDisk(parsed.Operands[1], parsed.Has("--force"));
  } catch (const std::exception& e) {
    throw EFileError(book, e.what());
  }
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

int RunCommand(const std::vector<std::string>& arguments, const TConsole& console) {
  if (HasOptionBeforeEnd(arguments, HelpOptions)) {
    console.Out << UsageOf(arguments[0]);
    return ExitSuccess;
  }
  if (HasOptionBeforeEnd(arguments, VersionOptions)) {
    console.Out << CliProgramName << " " << FOLIOSET_VERSION << "\n";
    return ExitSuccess;
  }
  const std::string& command = arguments[0];
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  if (command == "show")
    return Show(rest, console);
  if (command == "brand")
    return Brand(rest, console);
  if (command == "extract")
    return Extract(rest, console);
  throw EUsageError("unknown command '" + command + "'");
}

// The exit status and error line of the failure being handled; call only inside a catch block.
int ReportFailure(const TConsole& console) {
  try {
    throw;
  } catch (const EUsageError& e) {
    console.Err << UsageErrorLines(e.Message());
    return ExitUsage;
  } catch (const EFileError& e) {
    console.Err << ErrorLine(e.File(), e.Message());
    return ExitFailure;
  } catch (const std::exception& e) {
    console.Err << ErrorLine({}, e.what());
    return ExitFailure;
  }
}

} // namespace

int RunCommandLine(const std::vector<std::string>& arguments, const TConsole& console) {
  if (arguments.empty()) {
    console.Err << UsageErrorLines("no command given");
    return ExitUsage;
  }
  const TStopSignals stopSignals;
  try {
    const int status = RunCommand(arguments, console);
    StopIfAsked(); // a command that ran to its end still reports the stop asked of it
    return status;
  } catch (...) {
    // Whatever a stop interrupted reports the stop, not its own way of failing.
    if (const int signal = StopSignal()) {
      const EStopped stopped(signal);
      console.Err << ErrorLine({}, stopped.what());
      return stopped.ExitStatus();
    }
    return ReportFailure(console);
  }
}

int RunCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
  return RunCommandLine(arguments, TConsole{std::cin, out, err, false, false});
}
