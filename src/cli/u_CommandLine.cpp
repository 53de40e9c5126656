#include "cli/u_CommandLine.h"

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
#include <unistd.h>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const GeneralUsage =
    "Usage: folioset-cli COMMAND ...\n"
    "Commands:\n"
    "  show BOOK [--json]          the book's file, title, icon sizes and brandable variables\n"
    "  brand BOOK... [OPTIONS]     set brandable variables and the icon, as the window's Update\n"
    "  extract BOOK DIR            write the book's files into DIR\n"
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
    "the book untouched; with several books OUT is a folder that receives the copies.\n";

const char* const ExtractUsage = "Usage: folioset-cli extract BOOK DIR\n"
                                 "Writes every file of the book's content into the folder DIR.\n";

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
  // "-" is standard input, the way scripts pass values they compute.
  const std::string bytes =
      path == "-" ? ReadHandleToEnd(STDIN_FILENO, "standard input") : LoadFileToString(path);
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

// Where the branded copy of book goes: OUT itself, or OUT/<book's name> for several books.
std::string OutputFor(const std::string& book, const std::string& output, bool several) {
  if (!several)
    return output;
  return (std::filesystem::path(output) / std::filesystem::path(book).filename()).string();
}

// A name beside target for the copy being branded: hidden, and in the same folder so that
// moving it into place is one rename.
std::string PartialCopyName(const std::string& target) {
  const std::filesystem::path path(target);
  std::string name = ".";
  name += path.filename().string();
  name += ".folioset-partial";
  return (path.parent_path() / name).string();
}

// Brands one book, or a copy of it at target; prints the summary line. Names are checked
// before anything is written.
void BrandBook(const std::string& book, const std::string& target, const TBrandValues& values,
               const std::string& icon, std::ostream& out) {
  const bool inPlace = target == book;
  // A copy is branded privately and moved into place only when it is done, so a failure
  // leaves whatever was at the target as it was.
  const std::string working = inPlace ? book : PartialCopyName(target);
  bool signatureRemoved = false;
  if (!inPlace) {
    std::remove(working.c_str());
    CopyToNewPrivateFile(book, working);
  }
  try {
    TEBookDocument document;
    document.OpenEBook(working);
    const TVariableRows rows = BrandedRows(document.Rows(), values, book);
    if (!icon.empty())
      document.LoadNewIcon(icon);
    signatureRemoved = document.UpdateEBook(rows).SignatureRemoved;
    if (!inPlace) {
      std::filesystem::permissions(working, std::filesystem::status(book).permissions());
      std::filesystem::rename(working, target);
    }
  } catch (...) {
    if (!inPlace)
      std::remove(working.c_str());
    throw;
  }
  out << "branded " << book;
  if (!inPlace)
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

  const std::string icon = iconPath.empty() ? std::string() : LoadFileToString(iconPath);
  int failed = 0;
  for (const std::string& book : books) {
    try {
      BrandBook(book, output.empty() ? book : OutputFor(book, output, several), values, icon, out);
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
  if (arguments.size() != 2 || arguments[0].rfind("--", 0) == 0 || arguments[1].rfind("--", 0) == 0)
    throw EUsageError("extract takes a book and a folder");
  TEBookDocument document;
  document.OpenEBook(arguments[0]);
  document.SaveContentToDisk(arguments[1]);
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
  try {
    if (command == "show")
      return Show(rest, out);
    if (command == "brand")
      return Brand(rest, out, err);
    if (command == "extract")
      return Extract(rest);
    throw EUsageError("unknown command " + command);
  } catch (const EUsageError& e) {
    err << "folioset-cli: " << e.what() << "\n" << UsageOf(command);
    return ExitUsage;
  } catch (const std::exception& e) {
    err << "folioset-cli: " << e.what() << "\n";
    return ExitFailure;
  }
}
