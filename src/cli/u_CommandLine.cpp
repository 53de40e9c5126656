#include "cli/u_CommandLine.h"

#include "cli/u_Arguments.h"
#include "cli/u_Backup.h"
#include "cli/u_BatchProgress.h"
#include "cli/u_BrandJob.h"
#include "cli/u_BrandPlan.h"
#include "cli/u_BrandPreview.h"
#include "cli/u_BrandReport.h"
#include "cli/u_ErrorLine.h"
#include "cli/u_JsonReport.h"
#include "cli/u_List.h"
#include "cli/u_Manifest.h"
#include "cli/u_ManifestTemplate.h"
#include "cli/u_ProgressLine.h"
#include "cli/u_SignatureReport.h"
#include "cli/u_StopSignals.h"
#include "cli/u_ValuesJson.h"
#include "cli/u_Verify.h"
#include "common/u_AnsiText.h"
#include "common/u_Clock.h"
#include "common/u_FailureCause.h"
#include "common/u_Files.h"
#include "common/u_SysUtils.h"
#include "ebook/u_EBookDocument.h"
#include "mfs/u_MFS.h"
#include "resources/u_IconSizes.h"
#include "signing/u_CodeSigner.h"
#include "signing/u_SigningError.h"
#include "variables/u_Variables.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <sys/stat.h>
#include <unordered_map>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const GeneralUsage =
    "Usage: folioset-cli COMMAND [OPTION]... [--] ARGUMENT...\n"
    "Commands:\n"
    "  show BOOK... [OPTIONS]      the books' files, titles, icons and variables\n"
    "  brand BOOK... [OPTIONS]     set variables and the icon, as the window's Update\n"
    "  extract BOOK DIR [--force]  write the book's files into DIR\n"
    "  list BOOK...                the books' files with sizes and dates, as tar -tv\n"
    "  verify BOOK... [OPTIONS]    whether each book is sound and signed by a trusted\n"
    "                              signer\n"
    "Options of every command:\n"
    "  -h, --help                  show this help (or the command's) and exit\n"
    "      --version               show the version and exit\n"
    "  -q, --quiet                 no progress line on the terminal\n"
    "      --code-page N           the book's texts are in code page N (874, 932,\n"
    "                              936, 949, 950, 1250-1258), not the locale's\n"
    "  --                          what follows is a book or folder, even if it\n"
    "                              begins with a dash\n"
    "'folioset-cli COMMAND --help' tells a command's options; 'man folioset-cli' all.\n";

const char* const ShowUsage =
    "Usage: folioset-cli show [-j|--json|--json-lines] [--raw] [--all] [--ca FILE]\n"
    "                         [--code-page N] [-q|--quiet] [--] BOOK...\n"
    "   or: folioset-cli show --template csv|jsonl [OPTIONS] BOOK...\n"
    "Shows the book's file name, the code page its texts are read with, its expanded\n"
    "title, icon sizes, signature and brandable variables, as the window shows them.\n"
    "--raw shows the values as the book stores them, references not expanded; --all\n"
    "shows hidden variables (a value beginning with \"$\" hides its variable) too.\n"
    "--json prints one document: the books, each an object of path, status,\n"
    "codePage, title, icon, signature (null when not signed) and variables (names\n"
    "and values, a values file for brand), then the totals. --json-lines prints a\n"
    "line per book as it is shown, then a summary line. A book that cannot be read is\n"
    "an error line; the others are still shown. A signature is judged against the\n"
    "system's trusted roots, or with --ca FILE against the certificates of FILE.\n"
    "--template csv|jsonl prints a manifest for brand instead: a row per book with\n"
    "every brandable variable's stored value, icon and output empty, so that branded\n"
    "untouched it changes nothing. --names prints only the variables' names, a line\n"
    "each.\n";

const char* const VerifyUsage =
    "Usage: folioset-cli verify [-j|--json|--json-lines] [--ca FILE]\n"
    "                           [--allow-unsigned] [--code-page N] [-q|--quiet]\n"
    "                           [--] BOOK...\n"
    "Checks that each book is sound (its PE checksum, its packed pages and their\n"
    "checksums, its variables) and that its signature is valid and trusted: a line\n"
    "per book, \"verified\" or \"rejected\" and why. Exit status 0 only when every book\n"
    "is verified.\n"
    "      --ca FILE               trust the certificates of FILE (PEM), not the\n"
    "                              system's roots\n"
    "      --allow-unsigned        a book without a signature is verified too\n"
    "--json and --json-lines give each book's object as show does (path, status,\n"
    "codePage, signature) with its problems.\n";

const char* const ListUsage =
    "Usage: folioset-cli list [-j|--json|--json-lines] [--code-page N] [-q|--quiet]\n"
    "                         [--] BOOK...\n"
    "Lists the book's files and folders without extracting them, as a verbose tar\n"
    "listing does: kind (d for a folder), size in bytes, date and time as stored, and\n"
    "path, names in UTF-8. Several books are each listed under a line \"BOOK:\".\n"
    "--json and --json-lines give each book's object as show does (path, status,\n"
    "codePage) with its files: name, folder, size and date.\n";

const char* const BrandUsage =
    "Usage: folioset-cli brand [-s|--set NAME=VALUE]... [--values FILE.json|-]\n"
    "                          [--icon FILE.ico] [-o|--output OUT] [-n|--dry-run]\n"
    "                          [--check] [--keep-going] [--backup[=simple|numbered]]\n"
    "                          [-j|--json|--json-lines] [--code-page N] [-q|--quiet]\n"
    "                          [--] BOOK...\n"
    "   or: folioset-cli brand --manifest FILE|- [OPTIONS]\n"
    "Sets brandable variables (--set, or a JSON object of names and values; '-'\n"
    "reads it from standard input) and optionally a new icon, and writes them into\n"
    "each book as the window's Update does. An unknown or hidden name is an error\n"
    "and nothing is written; so are two names that differ only in letter case (a\n"
    "name given twice keeps its last value). --output writes a branded copy and\n"
    "leaves the book untouched; with several books, or when OUT is a folder, the\n"
    "copies go into it under the books' own names; '-' writes the one book's copy to\n"
    "standard output. An output that is one of the books, that two books would\n"
    "share, or that is no regular file is refused before anything is written. A book\n"
    "that already holds these values (as stored), this icon (the same images) and the\n"
    "signature asked for is not written (\"unchanged\"). A value beginning with \"$\"\n"
    "hides its variable from then on: brand warns of it.\n"
    "--json prints one JSON document: each book's path,\n"
    "output, status (\"branded\", \"unchanged\" or \"failed\"), error, values set, icon\n"
    "changed, code page and signature, then the totals; --json-lines a line per book\n"
    "as it is done, then a summary line. 'man folioset-cli' tells every member.\n"
    "--manifest FILE (or '-', standard input) brands many books, each with its own\n"
    "values, icon, output and signing: JSON Lines ({\"book\": ..., \"set\": {...},\n"
    "\"icon\": ..., \"output\": ...} per line) or CSV (a header of book, icon, output,\n"
    "then a column per variable; an empty cell keeps the value). Paths are relative\n"
    "to the current folder. --set, --values, --icon, --output (a folder) and the\n"
    "signing options apply to every entry; what an entry gives wins.\n"
    "Every book is opened and checked before any is written; each that would fail is\n"
    "a line, in the order given, \"MANIFEST:LINE: BOOK: reason\", and nothing is\n"
    "written (exit status 2). --keep-going brands the others (exit status 1).\n"
    "--dry-run opens each book and prints what would change (each value, the icon's\n"
    "sizes and the title, old -> new, and whether a signature would be removed) and\n"
    "writes nothing; with --json or --json-lines as data.\n"
    "--check writes nothing and lists for each book what it does not hold yet (a\n"
    "value as stored -> as asked, the icon's sizes, the signature): exit status 0\n"
    "only when every book holds what was asked.\n"
    "--backup keeps what is replaced as BOOK~ (simple, replaced by the next), or\n"
    "BOOK.~1~, BOOK.~2~... (numbered, all kept), as cp --backup does.\n"
    "Exit status: 0 all done, 1 some books failed while others were branded, 2\n"
    "refused before anything was written (the command line, or the checks).\n"
    "With SOURCE_DATE_EPOCH set, every time stamp written comes from it\n"
    "(reproducible output).\n"
    "Signing the branded book with your code-signing certificate:\n"
    "  --sign-pkcs12 FILE.p12        key and certificates in one PKCS#12 file, or\n"
    "  --sign-cert CERT.pem          certificate (then intermediates), with\n"
    "  --sign-key KEY.pem            its key, or\n"
    "  --sign-command CMD            with --sign-cert: CMD signs what it reads on its\n"
    "                                standard input (for RSA a DigestInfo, otherwise\n"
    "                                the digest) and writes the signature\n"
    "  --sign-pkcs11 URI             the key on a token or HSM (pkcs11:token=...;\n"
    "                                object=...), its PIN as the password; the\n"
    "                                certificate from the token or --sign-cert\n"
    "  --pkcs11-module PATH          the token's PKCS#11 module (default p11-kit's\n"
    "                                proxy to the system's modules)\n"
    "  --sign-digest sha256|sha384|sha512  the digest signed (default sha256)\n"
    "  --sign-chain FILE             intermediate certificates (PEM) to send along\n"
    "  --sign-password-file FILE     the password on the file's first line; otherwise\n"
    "                                FOLIOSET_SIGN_PASSWORD, or asked on the terminal\n"
    "  --sign-description TEXT       program name the signature shows\n"
    "  --sign-url URL                link the signature shows\n"
    "  --timestamp URL               RFC 3161 time-stamp server (http://, https://);\n"
    "                                again for more, asked in turn until one answers\n"
    "  --timestamp-ca FILE           roots (PEM) the time stamp and an https server\n"
    "                                must chain to, not the system's\n"
    "  --timestamp-timeout SECONDS   how long each server may take (default 30)\n";

const char* const ExtractUsage =
    "Usage: folioset-cli extract [--force] [--no-dates] [--code-page N] [-q|--quiet]\n"
    "                            [--] BOOK DIR\n"
    "Writes every file of the book's content into the folder DIR, names in UTF-8.\n"
    "Every name is checked before anything is written. An existing folder is used as\n"
    "it is; an existing file is an error unless --force replaces it (a link is\n"
    "replaced, never followed). Each file and folder gets its stored date, and a file\n"
    "stored read-only has no write permission, as tar does; --no-dates leaves the\n"
    "dates as written. A file that cannot be finished is removed.\n"
    "  --force       replace existing files\n"
    "  --no-dates    do not restore the stored dates\n";

const char* const StandardInputName = "-";
const char* const StandardOutputName = "-";
const char* const StandardInputTitle = "standard input";

const std::vector<std::string> HelpOptions = {"-h", "--help"};
const std::vector<std::string> VersionOptions = {"--version"};
const TOptionRule QuietOption = {"--quiet", false, "-q"};
const TOptionRule CodePageOption = {"--code-page", true};
const TOptionRule JsonOption = {"--json", false, "-j"};
const TOptionRule JsonLinesOption = {"--json-lines", false};

bool Quiet(const TParsedArguments& parsed) {
  return parsed.Has(QuietOption.Name);
}

// The progress line on standard error: drawn on a terminal, unless --quiet.
TProgressLine ProgressLine(const TConsole& console, const TParsedArguments& parsed) {
  return TProgressLine(console.Err, console.ErrIsTerminal && !Quiet(parsed), console.ErrColumns,
                       console.ErrIsDumb);
}

// What --json or --json-lines asks of standard output; both at once is a usage mistake.
TJsonOutput JsonOutputOf(const TParsedArguments& parsed) {
  const bool document = parsed.Has(JsonOption.Name);
  const bool lines = parsed.Has(JsonLinesOption.Name);
  if (document && lines)
    throw EUsageError("--json and --json-lines exclude each other");
  return document ? TJsonOutput::Document : lines ? TJsonOutput::Lines : TJsonOutput::None;
}

std::string CodePageList() {
  std::string list;
  for (const int codePage : AnsiCodePages())
    list += (list.empty() ? "" : ", ") + std::to_string(codePage);
  return list;
}

// The code page a number given as text names; none for a text that names none.
std::optional<TCodePage> CodePageNumbered(const std::string& number) {
  // Code pages have at most five digits; a longer number would not fit an int.
  const bool digits = !number.empty() && number.size() <= 5 &&
                      number.find_first_not_of("0123456789") == std::string::npos;
  const int codePage = digits ? std::stoi(number) : 0;
  return IsAnsiCodePage(codePage) ? std::optional(TCodePage(codePage)) : std::nullopt;
}

// The books' texts are read and written in the code page given with --code-page (the last one
// given), else in the locale's.
TCodePage CodePageOf(const TParsedArguments& parsed, const TCodePage& localeCodePage) {
  std::string number;
  for (const auto& [option, value] : parsed.Options)
    if (option == CodePageOption.Name)
      number = value;
  if (number.empty())
    return localeCodePage;
  const std::optional<TCodePage> codePage = CodePageNumbered(number);
  if (!codePage)
    throw EUsageError("--code-page takes one of " + CodePageList() + ", not " + number);
  return *codePage;
}

// The options every command takes besides its own.
std::vector<TOptionRule> WithCommonOptions(std::vector<TOptionRule> rules) {
  rules.insert(rules.end(), {QuietOption, CodePageOption});
  return rules;
}

TParsedArguments ParseCommand(const std::vector<std::string>& arguments,
                              const std::vector<TOptionRule>& rules) {
  return ParseArguments(arguments, WithCommonOptions(rules));
}

// How to mend a text the code page cannot hold, for a message naming it.
std::string CodePageAdvice() {
  return "; give the book's code page with --code-page (one of " + CodePageList() + ")";
}

// Reports progress, and stops the command at the next step when a stop signal came; the book
// is as it was or finished, the stop then coming before the next book.
TEBookProgressEvent StoppingProgress(TEBookProgressEvent onProgress) {
  return StoppableProgress(std::move(onProgress), StopIfAsked);
}

// Opens book to read its content, the number-th of count, drawing progress on line; a failure
// names the book.
void OpenBook(TEBookDocument& document, const std::string& book, TProgressLine& line,
              int number = 1, int count = 1) {
  line.SetBook(book, number, count);
  document.OnProgress = StoppingProgress(line.Event());
  document.KeepCabinet = false; // nothing is written
  try {
    document.OpenEBook(book);
  } catch (const std::exception& e) {
    line.Clear();
    throw EFileError(book, BookErrorText(e, {book}, document.CodePage()));
  }
  line.Clear();
}

const char* const StatusShown = "shown";
const char* const StatusFailed = "failed";

// What every book's object has: its path, how it ended, and the code page of its texts.
QJsonObject BookJson(const std::string& book, const char* status, const TCodePage& codePage) {
  QJsonObject object{{"status", status}, {"codePage", codePage.Number()}};
  AddFileName(object, "path", book);
  return object;
}

// How the commands over many books open each book and begin its object.
TBookShell BookShell(const TCodePage& codePage, TProgressLine& line) {
  return {codePage,
          [&line](TEBookDocument& document, const std::string& book, int number, int count) {
            OpenBook(document, book, line, number, count);
          },
          [codePage](const std::string& book, const char* status) {
            return BookJson(book, status, codePage);
          }};
}

// show --json of one book; variables as an object of names and values, as --values takes them.
QJsonObject ShowJson(const TEBookDocument& document, const std::string& book,
                     const TVariableRows& rows) {
  const TCodePage& codePage = document.CodePage();
  QJsonObject variables;
  for (const TVariableRow& row : rows)
    variables.insert(QString::fromStdString(codePage.AnsiToUtf8(row.Name)),
                     QString::fromStdString(codePage.AnsiToUtf8(row.Value)));
  QJsonArray shadowed;
  for (const TShadowedEntry& entry : document.Shadowed())
    shadowed.append(QJsonObject{
        {"name", QString::fromStdString(codePage.AnsiToUtf8(entry.Name))},
        {"value", QString::fromStdString(codePage.AnsiToUtf8(entry.Value))},
        {"shadowedBy", QString::fromStdString(codePage.AnsiToUtf8(entry.ShadowedBy))},
        {"note", QString::fromStdString(codePage.AnsiToUtf8(ShadowedText(entry, codePage.Number())))}});
  QJsonObject object = BookJson(book, StatusShown, codePage);
  object.insert("title", QString::fromStdString(codePage.AnsiToUtf8(document.Title())));
  object.insert("icon", IconImagesJson(IconImageInfos(document.EBookIconGroup())));
  object.insert("signature", SignatureJson(document.Signature()));
  object.insert("variables", variables);
  object.insert("shadowed", shadowed);
  return object;
}

// Appends a text of the book in UTF-8, without a copy of its own when it is ASCII already.
void AppendUtf8(std::string& text, const std::string& ansi, const TCodePage& codePage) {
  if (IsPlainAscii(ansi))
    text += ansi;
  else
    text += codePage.AnsiToUtf8(ansi);
}

bool IsControl(char c) {
  return (unsigned char)c < 0x20 || c == 0x7f;
}

// Appends a value as show's line gives it: as it is, or quoted with JSON's escapes when it
// holds a control character (a line break), so that each variable stays one line.
void AppendShownValue(std::string& text, const std::string& ansi, const TCodePage& codePage) {
  const size_t start = text.size();
  AppendUtf8(text, ansi, codePage);
  if (std::none_of(text.begin() + ptrdiff_t(start), text.end(), IsControl))
    return;
  const std::string quoted = JsonQuoted(text.substr(start));
  text.resize(start);
  text += quoted;
}

// Up to this size a book's lines reach the output in one write; beyond, each line goes as it
// is made, so that a big value is not held once more in a text of all the lines.
constexpr size_t ShowTextPiece = size_t(1) << 20;

// show of one book, as lines after prefix, written to out: with hiddenToo the hidden variables
// too, with stored the values as stored.
void WriteShowText(std::ostream& out, const std::string& prefix, const TEBookDocument& document,
                   const std::string& book, bool hiddenToo, bool stored) {
  const TCodePage& codePage = document.CodePage();
  std::string text = prefix + "File:  " + book + "\n" + "Code page: " +
                     std::to_string(codePage.Number()) + " (" + codePage.ConverterName() +
                     ")\n" + "Title: ";
  const auto writeWhenBig = [&] {
    if (text.size() >= ShowTextPiece) {
      out << text;
      text = std::string();
    }
  };
  AppendUtf8(text, document.Title(), codePage);
  text += "\nIcon:  " + IconImagesText(IconImageInfos(document.EBookIconGroup())) + "\n" +
          SignatureLines(document.Signature()) + "Variables:\n";
  writeWhenBig();
  document.EachVariable(hiddenToo, stored, [&](const std::string& name, const std::string& value) {
    text += "  ";
    AppendUtf8(text, name, codePage);
    text += " = ";
    // A big value shown as it is goes out as it is, never copied into a line.
    if (value.size() >= ShowTextPiece && IsPlainAscii(value) &&
        std::none_of(value.begin(), value.end(), IsControl)) {
      out << text;
      out.write(value.data(), std::streamsize(value.size()));
      text = "\n";
      return;
    }
    // Room for the whole line at once: a big value is not copied again as the line grows.
    text.reserve(text.size() + value.size() + 1);
    AppendShownValue(text, value, codePage);
    text += "\n";
    writeWhenBig();
  });
  if (!document.Shadowed().empty())
    text += "Not read (kept in the file):\n";
  for (const TShadowedEntry& entry : document.Shadowed()) {
    text += "  ";
    AppendUtf8(text, entry.Name, codePage);
    text += " = ";
    AppendShownValue(text, entry.Value, codePage);
    text += "\n    ";
    AppendUtf8(text, ShadowedText(entry, codePage.Number()), codePage);
    text += "\n";
    writeWhenBig();
  }
  out << text;
}

// Each book in turn; one that cannot be opened is its error line and the others still show.
// With --json one book is its object, several are a document of them; --json-lines gives a
// line per book as it is shown, then the summary.
int Show(const std::vector<std::string>& arguments, const TConsole& console, TJsonReport& json,
         const TCodePage& localeCodePage) {
  const TParsedArguments parsed = ParseCommand(arguments, {JsonOption,
                                                           JsonLinesOption,
                                                           {"--raw", false},
                                                           {"--all", false},
                                                           CaOption,
                                                           {"--template", true},
                                                           {"--names", false}});
  const TCodePage codePage = CodePageOf(parsed, localeCodePage);
  const std::vector<std::string>& books = parsed.Operands;
  json.Begin(JsonOutputOf(parsed), {StatusShown, StatusFailed});
  std::optional<TTemplateFormat> templateFormat;
  for (const auto& [option, value] : parsed.Options)
    if (option == "--template")
      templateFormat = TemplateFormatOf(value);
  if (int(templateFormat.has_value()) + int(parsed.Has("--names")) + int(json.Wanted()) > 1)
    throw EUsageError("--template, --names and --json exclude each other");
  if (books.empty())
    throw EUsageError("show needs a book");
  TProgressLine line = ProgressLine(console, parsed);
  const std::shared_ptr<const TTrustStore> trust = TrustOf(parsed);
  std::vector<TTemplateBook> templateBooks;
  int failed = 0;
  for (size_t i = 0; i < books.size(); ++i) {
    TEBookDocument document(codePage);
    document.Trust = trust;
    document.KeepContent = false; // names and the variables are all that is shown
    try {
      if (templateFormat)
        if (const std::string why = TemplateCannotName(*templateFormat, books[i]); !why.empty())
          throw EFileError(books[i], why);
      OpenBook(document, books[i], line, int(i) + 1, int(books.size()));
    } catch (const EFileError& e) {
      if (StopSignal() != 0)
        throw;
      console.Err << ErrorLine(e.File(), e.Message());
      QJsonObject object = BookJson(books[i], StatusFailed, codePage);
      object.insert("error", QString::fromStdString(ErrorText({}, e.Message())));
      json.AddBook(object);
      ++failed;
      continue;
    }
    if (templateFormat) {
      templateBooks.push_back(TemplateBookOf(document, books[i]));
      continue;
    }
    if (parsed.Has("--names")) {
      WriteNames(console.Out, document);
      continue;
    }
    const bool hiddenToo = parsed.Has("--all");
    const bool stored = parsed.Has("--raw");
    if (json.Wanted())
      json.AddBook(ShowJson(document, books[i], document.Variables(hiddenToo, stored)));
    else
      WriteShowText(console.Out, i > 0 ? "\n" : "", document, books[i], hiddenToo, stored);
  }
  if (templateFormat)
    console.Out << ManifestTemplate(*templateFormat, templateBooks);
  json.Finish();
  return failed == 0 ? ExitSuccess : ExitFailure;
}

// The books' files and folders, as "tar -tv" lists an archive: kind, size, date and path.
int List(const std::vector<std::string>& arguments, const TConsole& console, TJsonReport& json,
         const TCodePage& localeCodePage) {
  const TParsedArguments parsed = ParseCommand(arguments, {JsonOption, JsonLinesOption});
  const TCodePage codePage = CodePageOf(parsed, localeCodePage);
  json.Begin(JsonOutputOf(parsed), ListStatuses());
  TProgressLine line = ProgressLine(console, parsed);
  return ListBooks(parsed, console, json, BookShell(codePage, line));
}

// what (UTF-8) in the code page; a character it cannot hold is an error naming both.
std::string BookText(const std::string& utf8, const std::string& what, const TCodePage& codePage) {
  try {
    return codePage.Utf8ToAnsi(utf8);
  } catch (const EUnmappableCharacter& e) {
    throw Exception(CannotHoldText(what, e) + CodePageAdvice());
  }
}

// A name given again keeps its last value; two names that differ only in letter case would
// both set one variable, in an order nobody chose, so they are refused.
void AddBrandValue(TBrandValues& values, const std::string& utf8Name,
                   const std::string& utf8Value) {
  if (utf8Name.empty())
    throw EUsageError("a variable name is empty");
  const TCodePage& codePage = values.CodePage;
  const std::string name = BookText(utf8Name, "the name \"" + utf8Name + "\"", codePage);
  const std::string value = BookText(utf8Value, "the value of \"" + utf8Name + "\"", codePage);
  values.Given.emplace_back(utf8Name, utf8Value);
  const auto [at, added] = values.RowOfKey.try_emplace(NameKey(name, codePage), values.Rows.size());
  if (added) {
    values.Rows.push_back({name, value});
    return;
  }
  TVariableRow& given = values.Rows[at->second];
  if (given.Name != name)
    throw EUsageError("\"" + codePage.AnsiToUtf8(given.Name) + "\" and \"" + utf8Name +
                      "\" name one variable; give it once");
  given.Value = value;
}

// How messages name the file at path: "-" is standard input.
std::string InputName(const std::string& path) {
  return path == StandardInputName ? StandardInputTitle : path;
}

// The bytes of the file at path, or of standard input for "-".
std::string ReadInput(const std::string& path, std::istream& in) {
  return path == StandardInputName ? ReadStreamToEnd(in, InputName(path)) : LoadFileToString(path);
}

void ReadValuesFile(TBrandValues& values, const std::string& path, std::istream& in) {
  const std::string file = InputName(path);
  try {
    for (const auto& [name, value] : ParseValuesJson(ReadInput(path, in)))
      AddBrandValue(values, name, value);
  } catch (const EUsageError&) {
    throw;
  } catch (const std::exception& e) {
    throw EFileError(file, e.what());
  }
}

// Where book's branded copy goes for output: OUT/<book's name> into a folder, else OUT itself.
std::string CopyPlace(const std::string& book, const std::string& output, bool intoFolder) {
  return output.empty() || !intoFolder
             ? output
             : (std::filesystem::path(output) / std::filesystem::path(book).filename()).string();
}

// Where each book's branded copy goes: nowhere without --output (the book is branded in
// place); OUT/<book's name> when there are several books or OUT is a folder (as cp does);
// OUT itself otherwise.
std::vector<std::string> OutputsFor(const std::vector<std::string>& books,
                                    const std::string& output) {
  std::vector<std::string> outputs;
  const bool intoFolder = books.size() > 1 || std::filesystem::is_directory(output);
  for (const std::string& book : books)
    outputs.push_back(CopyPlace(book, output, intoFolder));
  return outputs;
}

// Whether something other than a regular file is at path (a link is not followed): a FIFO, a
// device or a link replaced by the branded book would lose what it is.
bool NoRegularFileAt(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

// Refuses, before anything is written, jobs whose output would overwrite a book being branded
// or another job's output, or something that is no regular file.
void CheckOutputs(std::vector<TBrandJob>& jobs) {
  std::unordered_map<std::string, size_t> bookOfKey, outputOfKey;
  for (size_t i = 0; i < jobs.size(); ++i)
    bookOfKey.emplace(FileKey(jobs[i].Book), i);
  for (size_t i = 0; i < jobs.size(); ++i) {
    TBrandJob& job = jobs[i];
    const std::string& output = job.Output;
    if (output.empty() || output == StandardOutputName || !job.Refusal.empty())
      continue;
    const std::string key = FileKey(output);
    if (const auto book = bookOfKey.find(key); book != bookOfKey.end())
      job.Refusal = Format("%s would overwrite the book %s itself; choose another --output",
                           output.c_str(), jobs[book->second].Book.c_str());
    else if (const auto [other, added] = outputOfKey.emplace(key, i); !added)
      job.Refusal = Format("%s and %s would both be written to %s",
                           jobs[other->second].Book.c_str(), job.Book.c_str(), output.c_str());
    else if (NoRegularFileAt(output))
      job.Refusal = Format("%s is not a regular file; choose another --output", output.c_str());
  }
}

// Brands one book, in place or into a copy at target, signed when there is a signer. Names are
// checked before anything is written. A copy is written whole beside its target and renamed
// into place, so a failure or a stop leaves whatever was at the target as it was; with a
// backup kind, what is there is kept under its backup name first. A target of "-" is standard
// output, where the branded book goes whole once it is made. Nothing when the book in place
// would come out as it is: it is left untouched.
std::optional<TEBookUpdateResult> BrandBook(const TBrandJob& job, TBackupKind backup,
                                            const TEBookProgressEvent& onProgress,
                                            std::ostream& out) {
  const std::string& target = job.Output;
  TEBookDocument document(job.Values.CodePage);
  document.OnProgress = StoppingProgress(onProgress);
  // The new cabinet is packed from the content; the old one's blocks are read from the book's
  // file where they still hold it, so it need not stay in memory beside the content.
  document.KeepCabinet = false;
  document.BeforeReplace = [backup](const std::string& replaced) { BackUpFile(replaced, backup); };
  // In place the book's lock is held from this read to the rename of the new book, so a
  // second process branding it waits and then brands the new book.
  document.OpenEBook(job.Book, target.empty());
  const TVariableRows rows = BrandedRows(document.Rows(), job.Values);
  if (ChangesNothing(document, rows, target, job.IconBytes(), job.Signer))
    return std::nullopt;
  if (!job.IconBytes().empty())
    document.LoadNewIcon(job.IconBytes());
  if (target != StandardOutputName)
    return document.UpdateEBook(rows, target, job.Signer, TAfterUpdate::Close);
  TEBookUpdateResult result;
  const std::string image = document.BrandedImage(rows, result, job.Signer);
  if (!out.write(image.data(), std::streamsize(image.size())).flush())
    throw EWriteError("Cannot write the branded book to standard output");
  return result;
}

const char* const PasswordVariable = "FOLIOSET_SIGN_PASSWORD";

// Where the password comes from: the file given, the environment, or the terminal; never the
// command line, where every user of the machine could read it.
// environment: the variable's password, taken when the command began; null when it was not set.
TPasswordSource PasswordSource(const std::string& passwordFile, const std::string& keyFile,
                               const TSecret* environment) {
  return [passwordFile, keyFile, environment]() {
    if (!passwordFile.empty())
      return ReadSecretFile(passwordFile);
    TSecret secret;
    if (environment) {
      secret.Assign(environment->Text(), environment->Length());
      return secret;
    }
    if (!CanPromptSecret())
      throw ESigningError(
          Format("it needs a password: give --sign-password-file or set %s", PasswordVariable),
          keyFile);
    return PromptSecret("Password for " + keyFile + ": ", StopIfAsked);
  };
}

// The signer the options ask for, loaded and checked before any book is touched; none when
// they ask for no signature.
std::unique_ptr<TCodeSigner> SignerOf(const TSigningOptions& options,
                                      const std::string& passwordFile,
                                      const TSecret* environment) {
  if (!options.Wanted())
    return nullptr;
  const std::string& keyFile = !options.Pkcs12File.empty()  ? options.Pkcs12File
                               : !options.Pkcs11Uri.empty() ? options.Pkcs11Uri
                                                            : options.KeyFile;
  try {
    return std::make_unique<TCodeSigner>(options,
                                         PasswordSource(passwordFile, keyFile, environment));
  } catch (const ESigningError& e) {
    throw EFileError(e.File(), e.Message());
  }
}

// OpenSSL's name of the digest --sign-digest names.
std::string SignDigestOf(const std::string& name) {
  for (const auto& [given, openssl] : {std::pair{"sha256", "SHA256"}, std::pair{"sha384", "SHA384"},
                                       std::pair{"sha512", "SHA512"}})
    if (name == given)
      return openssl;
  throw EUsageError("--sign-digest takes sha256, sha384 or sha512, not " + name);
}

// --timestamp-timeout's seconds: a whole number from 1 to a day.
int TimeStampTimeoutOf(const std::string& text) {
  constexpr int MaxSeconds = 24 * 60 * 60;
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || seconds < 1 || seconds > MaxSeconds)
    throw EUsageError("--timestamp-timeout takes whole seconds from 1 to " +
                      std::to_string(MaxSeconds) + ", not " + text);
  return int(seconds);
}

// The texts one after another, each ended by a newline, as one key.
std::string Join(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts)
    joined += text + '\n';
  return joined;
}

// Refuses signing options that do not make one identity.
void CheckSigningOptions(const TSigningOptions& options, const std::string& passwordFile) {
  if (!options.Pkcs12File.empty() && (!options.CertificateFile.empty() || !options.KeyFile.empty()))
    throw EUsageError("--sign-pkcs12 and --sign-cert/--sign-key exclude each other");
  if (!options.SignCommand.empty() &&
      (options.CertificateFile.empty() || !options.KeyFile.empty() || !options.Pkcs12File.empty() ||
       !options.Pkcs11Uri.empty()))
    throw EUsageError("--sign-command takes the certificate from --sign-cert, and no key");
  if (!options.Pkcs11Uri.empty() && (!options.KeyFile.empty() || !options.Pkcs12File.empty()))
    throw EUsageError("--sign-pkcs11 names the key: give no --sign-key or --sign-pkcs12");
  if (!options.Pkcs11Module.empty() && options.Pkcs11Uri.empty())
    throw EUsageError("--pkcs11-module goes with --sign-pkcs11");
  if (options.CertificateFile.empty() != options.KeyFile.empty() && options.Pkcs12File.empty() &&
      options.SignCommand.empty() && options.Pkcs11Uri.empty())
    throw EUsageError("--sign-cert and --sign-key go together");
  if (!options.Wanted() && (!passwordFile.empty() || !options.Description.empty() ||
                            !options.Url.empty() || !options.TimeStampUrls.empty()))
    throw EUsageError(
        "signing options need --sign-pkcs12, --sign-cert and --sign-key, or --sign-pkcs11");
}

// The icon at path, read and checked; raises EFileError naming it.
std::string LoadIcon(const std::string& path) {
  try {
    std::string icon = LoadFileToString(path);
    TEBookDocument::CheckIcon(icon);
    return icon;
  } catch (const std::exception& e) {
    throw EFileError(path, e.what());
  }
}

// Each icon is read and checked once, however many books take it; a job whose icon is bad is
// refused. The icon every book is given was checked before: a bad one is one error.
void LoadIcons(std::vector<TBrandJob>& jobs, std::map<std::string, std::string>& icons) {
  std::map<std::string, std::string> bad; // the error of each icon that is not valid
  for (TBrandJob& job : jobs) {
    if (job.IconPath.empty() || !job.Refusal.empty())
      continue;
    if (const auto error = bad.find(job.IconPath); error != bad.end()) {
      job.Refusal = error->second;
      continue;
    }
    const auto [at, added] = icons.try_emplace(job.IconPath);
    if (added) {
      try {
        at->second = LoadIcon(job.IconPath);
      } catch (const EFileError& e) {
        icons.erase(at);
        job.Refusal = bad[job.IconPath] = ErrorText(e.File(), e.Message());
        continue;
      }
    }
    job.Icon = &at->second;
  }
}

// What makes one signing identity: jobs of the same key share one signer.
std::string SignerKey(const TBrandJob& job) {
  const TSigningOptions& options = job.Signing;
  return options.Pkcs12File + '\0' + options.CertificateFile + '\0' + options.KeyFile + '\0' +
         options.SignCommand + '\0' + options.Pkcs11Uri + '\0' + options.Pkcs11Module + '\0' +
         options.Digest + '\0' + options.ChainFile + '\0' +
         job.PasswordFile + '\0' + options.Description + '\0' + options.Url + '\0' +
         Join(options.TimeStampUrls) + '\0' + options.TimeStampCaFile + '\0' +
         std::to_string(options.TimeStampTimeout);
}

// Each signing identity is loaded once for every book it signs, before any book is touched. A
// wrong password or an unfit certificate of the command line's identity stops the batch; an
// entry's own identity refuses the entries that name it.
void LoadSigners(std::vector<TBrandJob>& jobs, const TBrandJob& given,
                 std::map<std::string, std::unique_ptr<TCodeSigner>>& signers,
                 const TSecret* environment, std::ostream& err) {
  std::map<std::string, std::string> bad; // the error of each identity that did not load
  for (TBrandJob& job : jobs) {
    const TSigningOptions& options = job.Signing;
    if (!options.Wanted() || !job.Refusal.empty())
      continue;
    const std::string key = SignerKey(job);
    if (const auto error = bad.find(key); error != bad.end()) {
      job.Refusal = error->second;
      continue;
    }
    const auto [at, added] = signers.try_emplace(key);
    if (added) {
      TSigningOptions warned = options;
      warned.Warn = [&err](const std::string& file, const std::string& text) {
        err << ErrorLine(file, "warning: " + text);
      };
      try {
        at->second = SignerOf(warned, job.PasswordFile, environment);
      } catch (const EFileError& e) {
        if (given.Signing.Wanted() && key == SignerKey(given))
          throw;
        signers.erase(at);
        job.Refusal = bad[key] = ErrorText(e.File(), e.Message());
        continue;
      }
      // As ssh warns of a key others can read: the secret is no longer only the user's.
      for (const std::string& file : {options.Pkcs12File, options.KeyFile, job.PasswordFile})
        if (!file.empty() && ReadableByOthers(file))
          err << ErrorLine(file, "warning: other users can read it; make it readable by you "
                                 "alone (chmod 600)");
    }
    job.Signer = at->second.get();
  }
}

// text unless it is empty, then fallback.
std::string GivenOr(const std::string& text, const std::string& fallback) {
  return text.empty() ? fallback : text;
}

// The job of a manifest's entry over what the command line gives every book: the entry's
// values win over --set and --values, its code page, icon, output and signing over the
// options'. An entry naming a key or certificate brings its own identity and password file.
TBrandJob EntryJob(const TManifestEntry& entry, const TBrandJob& given, std::string origin) {
  TBrandJob job = given;
  job.Book = entry.Book;
  job.Origin = std::move(origin);
  job.Line = entry.Line;
  try {
    if (!entry.CodePage.empty()) {
      const std::optional<TCodePage> codePage = CodePageNumbered(entry.CodePage);
      if (!codePage)
        throw Exception("codePage takes one of " + CodePageList() + ", not " + entry.CodePage);
      // What every book is given becomes text of this book's code page.
      job.Values = TBrandValues(*codePage);
      for (const auto& [name, value] : given.Values.Given)
        AddBrandValue(job.Values, name, value);
    }
    for (const auto& [name, value] : entry.Values)
      AddBrandValue(job.Values, name, value);
    job.IconPath = GivenOr(entry.Icon, given.IconPath);
    job.Output = entry.Output.empty() ? CopyPlace(entry.Book, given.Output, true)
                                      : CopyPlace(entry.Book, entry.Output,
                                                  std::filesystem::is_directory(entry.Output));
    if (!entry.SignPkcs12.empty() || !entry.SignCert.empty() || !entry.SignKey.empty()) {
      // The signing command and a PKCS#11 module run code: only the command line gives them,
      // never an entry.
      job.Signing.SignCommand.clear();
      job.Signing.Pkcs11Uri.clear();
      job.Signing.Pkcs11Module.clear();
      job.Signing.Pkcs12File = entry.SignPkcs12;
      job.Signing.CertificateFile = entry.SignCert;
      job.Signing.KeyFile = entry.SignKey;
      job.PasswordFile.clear();
    }
    job.PasswordFile = GivenOr(entry.SignPasswordFile, job.PasswordFile);
    job.Signing.Description = GivenOr(entry.SignDescription, given.Signing.Description);
    job.Signing.Url = GivenOr(entry.SignUrl, given.Signing.Url);
    if (!entry.TimeStamp.empty())
      job.Signing.TimeStampUrls = {entry.TimeStamp};
    CheckSigningOptions(job.Signing, job.PasswordFile);
  } catch (const std::exception& e) {
    job.Refusal = e.what();
  }
  return job;
}

// The jobs of the manifest at path ("-": standard input), each entry checked before any book
// is touched: an entry asking for what cannot be is a refused job. Paths in it are relative to
// the current folder. A book named again (by any path or link to it) with the same request is
// branded once; branded in place again with another request it is refused, since one of the
// two would be lost.
std::vector<TBrandJob> ManifestJobs(const std::string& path, const TBrandJob& given,
                                    std::istream& in) {
  const std::string name = InputName(path);
  std::vector<TManifestEntry> entries;
  try {
    entries = ParseManifest(ReadInput(path, in));
  } catch (const EManifestError& e) {
    throw EFileError(name + ":" + std::to_string(e.Line()), e.Message());
  } catch (const std::exception& e) {
    throw EFileError(name, e.what());
  }
  if (entries.empty())
    throw EFileError(name, "it names no book");
  std::vector<TBrandJob> jobs;
  // The entries kept so far for each file, with whether each brands it in place.
  std::map<std::pair<dev_t, ino_t>, std::vector<std::pair<const TManifestEntry*, bool>>> kept;
  for (const TManifestEntry& entry : entries) {
    TBrandJob job = EntryJob(entry, given, name + ":" + std::to_string(entry.Line));
    struct stat info;
    if (::stat(entry.Book.c_str(), &info) != 0) {
      if (job.Refusal.empty())
        job.Refusal = std::strerror(errno);
      jobs.push_back(std::move(job));
      continue;
    }
    auto& before = kept[{info.st_dev, info.st_ino}];
    const auto same = [&](const auto& earlier) { return earlier.first->AsksTheSame(entry); };
    if (std::any_of(before.begin(), before.end(), same))
      continue;
    const bool inPlace = job.Output.empty();
    for (const auto& [earlier, earlierInPlace] : before)
      if (inPlace && earlierInPlace && job.Refusal.empty())
        job.Refusal = Format("line %d brands this book in place too, asking for something else; "
                             "give it once",
                             earlier->Line);
    before.emplace_back(&entry, inPlace);
    jobs.push_back(std::move(job));
  }
  return jobs;
}

// The jobs of the books named on the command line, each given the same.
std::vector<TBrandJob> OperandJobs(const std::vector<std::string>& books, const TBrandJob& given) {
  const std::vector<std::string> outputs = given.Output == StandardOutputName
                                               ? std::vector<std::string>{given.Output}
                                               : OutputsFor(books, given.Output);
  std::vector<TBrandJob> jobs;
  for (size_t i = 0; i < books.size(); ++i) {
    TBrandJob job = given;
    job.Book = books[i];
    job.Output = outputs[i];
    jobs.push_back(std::move(job));
  }
  return jobs;
}

// Each book once, in the order first named: a book named again (by any path or link to it)
// would be branded twice, or refused as its own output.
std::vector<std::string> DistinctBooks(const std::vector<std::string>& operands) {
  std::vector<std::string> books;
  std::set<std::pair<dev_t, ino_t>> files;
  std::set<std::string> unreadable; // left for the brand to report, once
  for (const std::string& book : operands) {
    struct stat info;
    const bool added = ::stat(book.c_str(), &info) == 0
                           ? files.emplace(info.st_dev, info.st_ino).second
                           : unreadable.insert(book).second;
    if (added)
      books.push_back(book);
  }
  return books;
}

// What became of a job's book: branded, unchanged or its error; a job refused before any
// write, or found unchanged then, ends so without the book being opened again. A stop is no
// outcome: it is raised, the book as it was.
TBrandOutcome BrandJob(const TBrandJob& job, const TEBookProgressEvent& onProgress,
                       std::ostream& out) {
  TBrandOutcome outcome = PlannedOutcome(job);
  if (!outcome.Error.empty() || outcome.Unchanged)
    return outcome;
  try {
    const std::optional<TEBookUpdateResult> result = BrandBook(job, job.Backup, onProgress, out);
    outcome.Unchanged = !result;
    outcome.SignatureRemoved = result && result->SignatureRemoved;
    outcome.Signed = result && result->Signed;
    if (!result)
      outcome.Hidden.clear();
  } catch (const std::exception& e) {
    if (StopSignal() != 0)
      throw;
    outcome.Error = BrandErrorText(e, job);
  }
  return outcome;
}

// Books branded at once. A small book's brand mostly waits, for the disk to take the new file
// and its folder, so several at a time keep the cores busy (1,000 small books: 3.3 s two at a
// time, 2.0 s four, 1.4 s eight, no better with sixteen). Each book's work is its own:
// documents, scratch files and locks are per book, text conversion per thread, and icons and
// signers are only read.
constexpr size_t BooksAtOnce = 8;
// ... while the books being branded together are at most this many bytes: each holds its book,
// tree and new cabinet in memory, so big books go one at a time (the compressor spreads a big
// book's blocks over every core already) and a batch takes the memory of one book.
constexpr uint64_t BookBytesAtOnce = uint64_t(64) << 20;

// Brands the jobs, a few at once, and hands each outcome to report in the jobs' order, from
// this thread, with the progress line taken away. Jobs of one book run one after the other, so
// a copy made after the book is branded in place has the brand's values, as in the order given. A
// stop ends the batch: the books being branded are finished (and reported) or left as they were, no
// other is started, and the stop is raised.
void BrandJobs(const std::vector<TBrandJob>& jobs, TProgressLine& line, std::ostream& out,
               const std::function<void(const TBrandJob&, TBrandOutcome)>& report) {
  std::vector<uint64_t> sizes;
  std::vector<std::string> books, names; // FileKey of each job's book, and its name
  for (const TBrandJob& job : jobs) {
    std::error_code unknown; // a book that cannot be read fails when it is branded
    const uintmax_t size = std::filesystem::file_size(job.Book, unknown);
    sizes.push_back(unknown ? 0 : size);
    books.push_back(FileKey(job.Book));
    names.push_back(job.Book);
  }
  std::mutex lineLock; // the progress line and the lines reported are drawn by one at a time
  TBatchProgress progress(line, std::move(names), sizes); // guarded by lineLock
  const auto brand = [&](size_t i) {
    return BrandJob(
        jobs[i],
        [&, i](TEBookStep step, int percent) {
          const std::lock_guard<std::mutex> guard(lineLock);
          progress.Show(i, step, percent);
        },
        out);
  };
  std::set<std::string> busy;                     // the books being branded
  std::deque<std::future<TBrandOutcome>> running; // jobs i to started; joined before line goes
  size_t started = 0;
  uint64_t runningBytes = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    for (; started < jobs.size() && StopSignal() == 0 &&
           (running.empty() || (running.size() < BooksAtOnce && !busy.count(books[started]) &&
                                runningBytes + sizes[started] <= BookBytesAtOnce));
         ++started) {
      running.push_back(std::async(std::launch::async, brand, started));
      runningBytes += sizes[started];
      busy.insert(books[started]);
    }
    if (running.empty())
      break;
    std::future<TBrandOutcome> next = std::move(running.front());
    running.pop_front();
    runningBytes -= sizes[i];
    busy.erase(books[i]);
    TBrandOutcome outcome;
    try {
      outcome = next.get();
    } catch (...) {
      if (StopSignal() == 0)
        throw;
      continue; // stopped: the book is as it was
    }
    const std::lock_guard<std::mutex> guard(lineLock);
    line.Clear();
    progress.Finish(i);
    report(jobs[i], std::move(outcome));
  }
  StopIfAsked();
}

// Runs a step that comes before anything is written: what fails there (a file, a value the
// code page cannot hold) refuses the whole brand; a usage mistake stays one.
void BeforeAnyWrite(const std::function<void()>& step) {
  try {
    step();
  } catch (const EUsageError&) {
    throw;
  } catch (const EFileError& e) {
    if (StopSignal() != 0)
      throw;
    throw ERefused(e.File(), e.Message());
  } catch (const Exception& e) {
    if (StopSignal() != 0)
      throw;
    throw ERefused({}, e.what());
  }
}

int Brand(const std::vector<std::string>& arguments, const TConsole& console, TJsonReport& json,
          const TCodePage& localeCodePage) {
  // Taken and wiped from the environment first, whatever follows.
  TSecret environmentPassword;
  const bool fromEnvironment = environmentPassword.TakeEnvironment(PasswordVariable);
  const TParsedArguments parsed = ParseCommand(arguments, {{"--set", true, "-s"},
                                                           {"--values", true},
                                                           {"--icon", true},
                                                           {"--output", true, "-o"},
                                                           JsonOption,
                                                           JsonLinesOption,
                                                           {"--dry-run", false, "-n"},
                                                           {"--sign-pkcs12", true},
                                                           {"--sign-cert", true},
                                                           {"--sign-key", true},
                                                           {"--sign-password-file", true},
                                                           {"--sign-description", true},
                                                           {"--sign-url", true},
                                                           {"--timestamp", true},
                                                           {"--timestamp-ca", true},
                                                           {"--sign-command", true},
                                                           {"--sign-digest", true},
                                                           {"--sign-chain", true},
                                                           {"--sign-pkcs11", true},
                                                           {"--pkcs11-module", true},
                                                           {"--timestamp-timeout", true},
                                                           {"--manifest", true},
                                                           {"--check", false},
                                                           {"--keep-going", false},
                                                           {"--backup", false, nullptr, true}});
  const TCodePage codePage = CodePageOf(parsed, localeCodePage);
  // What every book is given; a manifest's entry may give its own instead.
  TBrandJob given(TBrandValues{codePage});
  std::string manifest;
  for (const auto& [option, value] : parsed.Options)
    if (option == "--manifest") {
      // The books of a second manifest would be left out without a word.
      if (!manifest.empty())
        throw EUsageError("--manifest is given once: put every book in one manifest");
      manifest = value;
    }
  const bool fromManifest = !manifest.empty();
  const bool dryRun = parsed.Has("--dry-run");
  const bool check = parsed.Has("--check");
  json.Begin(JsonOutputOf(parsed), check ? CheckStatuses() : BrandStatuses(),
             dryRun ? QJsonObject{{"dryRun", true}} : QJsonObject());
  if (check && dryRun)
    throw EUsageError("--check and --dry-run exclude each other: --check writes nothing");
  BeforeAnyWrite([&] {
    for (const auto& [option, value] : parsed.Options) {
      if (option == "--set") {
        const size_t equals = value.find('=');
        if (equals == std::string::npos)
          throw EUsageError("--set takes NAME=VALUE, not " + value);
        AddBrandValue(given.Values, value.substr(0, equals), value.substr(equals + 1));
      } else if (option == "--values") {
        if (value == StandardInputName && manifest == StandardInputName)
          throw EUsageError("--values - and --manifest - cannot both read standard input");
        ReadValuesFile(given.Values, value, console.In);
      } else if (option == "--icon") {
        given.IconPath = value;
      } else if (option == "--output") {
        given.Output = value;
      } else if (option == "--sign-pkcs12") {
        given.Signing.Pkcs12File = value;
      } else if (option == "--sign-cert") {
        given.Signing.CertificateFile = value;
      } else if (option == "--sign-key") {
        given.Signing.KeyFile = value;
      } else if (option == "--sign-password-file") {
        given.PasswordFile = value;
      } else if (option == "--sign-description") {
        given.Signing.Description = value;
      } else if (option == "--sign-url") {
        given.Signing.Url = value;
      } else if (option == "--timestamp") {
        given.Signing.TimeStampUrls.push_back(value);
      } else if (option == "--sign-command") {
        given.Signing.SignCommand = value;
      } else if (option == "--sign-pkcs11") {
        given.Signing.Pkcs11Uri = value;
      } else if (option == "--pkcs11-module") {
        given.Signing.Pkcs11Module = value;
      } else if (option == "--sign-chain") {
        given.Signing.ChainFile = value;
      } else if (option == "--sign-digest") {
        given.Signing.Digest = SignDigestOf(value);
      } else if (option == "--timestamp-ca") {
        given.Signing.TimeStampCaFile = value;
      } else if (option == "--timestamp-timeout") {
        given.Signing.TimeStampTimeout = TimeStampTimeoutOf(value);
      } else if (option == "--backup") {
        given.Backup = BackupKindOf(value);
      }
    }
  });
  given.Signing.WhileWaiting = StopIfAsked;
  CheckSigningOptions(given.Signing, given.PasswordFile);
  if (fromManifest && !parsed.Operands.empty())
    throw EUsageError("--manifest names the books; give no book besides it");
  const std::vector<std::string> books = DistinctBooks(parsed.Operands);
  if (books.empty() && !fromManifest)
    throw EUsageError("brand needs at least one book");
  const bool several = books.size() > 1 || fromManifest;
  const std::string& output = given.Output;
  const bool toStandardOutput = output == StandardOutputName;
  if (toStandardOutput && (several || json.Wanted()))
    throw EUsageError("--output - takes one book and no JSON: the book is all it writes");
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

  std::vector<TBrandJob> jobs;
  std::map<std::string, std::string> icons;
  std::map<std::string, std::unique_ptr<TCodeSigner>> signers;
  BeforeAnyWrite([&] {
    // A bad icon that every book is given is one error naming it, not one per book.
    if (!given.IconPath.empty())
      icons.emplace(given.IconPath, LoadIcon(given.IconPath));
    jobs = fromManifest ? ManifestJobs(manifest, given, console.In) : OperandJobs(books, given);
    LoadIcons(jobs, icons);
    LoadSigners(jobs, given, signers, fromEnvironment ? &environmentPassword : nullptr,
                console.Err);
  });
  if (!toStandardOutput)
    CheckOutputs(jobs);
  TProgressLine line = ProgressLine(console, parsed);
  const TBrandMode mode = check    ? TBrandMode::Check
                          : dryRun ? TBrandMode::DryRun
                                   : TBrandMode::Brand;
  TBrandReport report(console.Out, console.Err, json, several, !toStandardOutput, mode);
  size_t reported = 0;
  try {
    PlanBrands(jobs, check, [&](size_t i) {
      line.SetBook(jobs[i].Book, int(i) + 1, int(jobs.size()));
      return StoppingProgress(line.Event());
    });
  } catch (...) {
    if (StopSignal() != 0)
      report.Stop(int(jobs.size()));
    throw;
  }
  line.Clear();
  const size_t refused = size_t(std::count_if(
      jobs.begin(), jobs.end(), [](const TBrandJob& job) { return !job.Refusal.empty(); }));
  if (refused > 0 && (check || !parsed.Has("--keep-going"))) {
    for (const TBrandJob& job : jobs)
      if (!job.Refusal.empty())
        report.Add(PlannedOutcome(job));
    report.Refuse(int(refused));
    return ExitUsage;
  }
  if (check || dryRun) {
    for (const TBrandJob& job : jobs)
      report.Add(PlannedOutcome(job),
                 check ? BrandCheckLines(job.Plan) : BrandPreviewLines(job.Plan),
                 BrandChangesJson(job.Plan));
    return report.Finish() ? ExitSuccess : ExitFailure;
  }
  try {
    BrandJobs(jobs, line, console.Out, [&](const TBrandJob& job, TBrandOutcome outcome) {
      ++reported;
      TBrandPreview done = job.Plan;
      done.Outcome = std::move(outcome);
      report.Add(done.Outcome, BrandedLine(done.Outcome),
                 json.Wanted() ? BrandChangesJson(done) : QJsonObject());
    });
  } catch (...) {
    if (StopSignal() != 0)
      report.Stop(int(jobs.size() - reported));
    throw;
  }
  return report.Finish() ? ExitSuccess : ExitFailure;
}

int Verify(const std::vector<std::string>& arguments, const TConsole& console, TJsonReport& json,
           const TCodePage& localeCodePage) {
  const TParsedArguments parsed =
      ParseCommand(arguments, {JsonOption, JsonLinesOption, CaOption, {"--allow-unsigned", false}});
  const TCodePage codePage = CodePageOf(parsed, localeCodePage);
  json.Begin(JsonOutputOf(parsed), VerifyStatuses());
  TProgressLine line = ProgressLine(console, parsed);
  return VerifyBooks(parsed, console, json, BookShell(codePage, line));
}

int Extract(const std::vector<std::string>& arguments, const TConsole& console,
            const TCodePage& localeCodePage) {
  const TParsedArguments parsed =
      ParseCommand(arguments, {{"--force", false}, {"--no-dates", false}});
  const TCodePage codePage = CodePageOf(parsed, localeCodePage);
  if (parsed.Operands.size() != 2)
    throw EUsageError("extract takes a book and a folder");
  const std::string& book = parsed.Operands[0];
  TEBookDocument document(codePage);
  TProgressLine line = ProgressLine(console, parsed);
  OpenBook(document, book, line);
  try {
    document.SaveContentToDisk(parsed.Operands[1], parsed.Has("--force"),
                               !parsed.Has("--no-dates"));
  } catch (const std::exception& e) {
    throw EFileError(book, BookErrorText(e, {book, parsed.Operands[1]}, codePage));
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
  if (command == "list")
    return ListUsage;
  if (command == "verify")
    return VerifyUsage;
  return GeneralUsage;
}

int RunCommand(const std::vector<std::string>& arguments, const TConsole& console,
               TJsonReport& json, const TCodePage& localeCodePage) {
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
    return Show(rest, console, json, localeCodePage);
  if (command == "brand")
    return Brand(rest, console, json, localeCodePage);
  if (command == "extract")
    return Extract(rest, console, localeCodePage);
  if (command == "list")
    return List(rest, console, json, localeCodePage);
  if (command == "verify")
    return Verify(rest, console, json, localeCodePage);
  throw EUsageError("unknown command '" + command + "'");
}

// The failure being handled as the command's end: its line on standard error, the end of the
// JSON report begun (saying the stop or the error), and the exit status; call only inside a
// catch block. Whatever a stop interrupted reports the stop, not its own way of failing.
int ReportFailure(const TConsole& console, TJsonReport& json) {
  const auto endJson = [&json](const char* member, const std::string& text) {
    json.FinishCutShort(member, QString::fromStdString(text));
  };
  if (const int signal = StopSignal()) {
    const EStopped stopped(signal);
    endJson("stopped", StopSignalName(signal));
    console.Err << ErrorLine({}, stopped.what());
    return stopped.ExitStatus();
  }
  try {
    throw;
  } catch (const EUsageError& e) {
    endJson("error", ErrorText({}, e.Message()));
    console.Err << UsageErrorLines(e.Message());
    return ExitUsage;
  } catch (const EFileError& e) {
    endJson("error", ErrorText(e.File(), e.Message()));
    console.Err << ErrorLine(e.File(), e.Message());
    return dynamic_cast<const ERefused*>(&e) ? ExitUsage : ExitFailure;
  } catch (const std::exception& e) {
    endJson("error", ErrorText({}, e.what()));
    console.Err << ErrorLine({}, e.what());
    return ExitFailure;
  }
}

} // namespace

int RunCommandLine(const std::vector<std::string>& arguments, const TConsole& console,
                   const TCodePage& localeCodePage) {
  if (arguments.empty()) {
    console.Err << UsageErrorLines("no command given");
    return ExitUsage;
  }
  const TStopSignals stopSignals;
  TJsonReport json(console.Out);
  try {
    const int status = RunCommand(arguments, console, json, localeCodePage);
    StopIfAsked(); // a command that ran to its end still reports the stop asked of it
    return status;
  } catch (...) {
    return ReportFailure(console, json);
  }
}

int RunCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
  return RunCommandLine(arguments, TConsole{std::cin, out, err, false, false},
                        TCodePage::ForLocale());
}
