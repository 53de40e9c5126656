#include "cli/u_Verify.h"

#include "cli/u_ErrorLine.h"
#include "cli/u_SignatureReport.h"
#include "common/u_SysUtils.h"
#include "resources/vexTools.h"
#include "signing/u_SignatureCheck.h"
#include "signing/u_SigningError.h"

#include <QJsonArray>

#include <cerrno>
#include <ctime>
#include <fstream>

namespace {

const char* const StatusVerified = "verified";
const char* const StatusRejected = "rejected";
const char* const StatusFailed = "failed";

// Reading the checksum a piece at a time keeps a big book out of memory a second time.
constexpr size_t ChecksumPiece = 1 << 20;
// The headers, section table included, lie within the first bytes of any image a loader takes.
constexpr size_t HeadersPiece = 64 * 1024;

// Whether the CheckSum field of the PE image in file is its checksum; a field of 0 says none was
// written, which loaders take. Raises EFileError when the file cannot be read.
std::string ChecksumProblem(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string head(HeadersPiece, '\0');
  in.read(head.data(), std::streamsize(head.size()));
  head.resize(size_t(in.gcount()));
  if (in.bad())
    throw EFileError(file, SysErrorMessage(errno));
  const TImageHeaders headers =
      ReadImageHeaders(TByteView(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
  if (headers.CheckSum == 0)
    return {};
  in.clear();
  in.seekg(0);
  TImageChecksum sum;
  std::string piece(ChecksumPiece, '\0');
  uint64_t offset = 0;
  const uint64_t field = headers.CheckSumOffset();
  while (in.read(piece.data(), std::streamsize(piece.size())) || in.gcount() > 0) {
    const size_t count = size_t(in.gcount());
    for (uint64_t at = field; at < field + 4; ++at)
      if (at >= offset && at < offset + count)
        piece[size_t(at - offset)] = '\0';
    sum.Add(reinterpret_cast<const uint8_t*>(piece.data()), count);
    offset += count;
  }
  if (in.bad())
    throw EFileError(file, SysErrorMessage(errno));
  const uint32_t actual = sum.Finish(offset);
  return actual == headers.CheckSum ? std::string()
                                    : Format("the PE checksum is 0x%08X, the headers say 0x%08X",
                                             actual, headers.CheckSum);
}

// What keeps a book from being verified, in the order a reader meets them.
std::vector<std::string> Problems(const TEBookDocument& document, const std::string& book,
                                  bool allowUnsigned) {
  std::vector<std::string> problems;
  if (std::string checksum = ChecksumProblem(book); !checksum.empty())
    problems.push_back(std::move(checksum));
  try {
    document.Variables(true, false);
  } catch (const std::exception& e) {
    problems.push_back(Format("its variables do not resolve: %s", e.what()));
  }
  const TImageSignature& signature = document.Signature();
  if (!signature.Signed) {
    if (!allowUnsigned)
      problems.push_back("it is not signed");
  } else if (signature.State == TSignatureState::Invalid) {
    problems.push_back("its signature is invalid: " + signature.Problem);
  } else if (signature.State == TSignatureState::Untrusted) {
    problems.push_back("its signature is valid but not trusted: " + signature.Problem);
  }
  return problems;
}

} // namespace

std::shared_ptr<const TTrustStore> TrustOf(const TParsedArguments& parsed) {
  std::string caFile;
  for (const auto& [option, value] : parsed.Options)
    if (option == CaOption.Name)
      caFile = value;
  try {
    return std::make_shared<const TTrustStore>(caFile, std::time(nullptr));
  } catch (const ESigningError& e) {
    throw EFileError(e.File(), e.Message());
  }
}

std::vector<QString> VerifyStatuses() {
  return {StatusVerified, StatusRejected, StatusFailed};
}

int VerifyBooks(const TParsedArguments& parsed, const TConsole& console, TJsonReport& json,
                const TBookShell& shell) {
  const std::vector<std::string>& books = parsed.Operands;
  if (books.empty())
    throw EUsageError("verify needs a book");
  const std::shared_ptr<const TTrustStore> trust = TrustOf(parsed);
  const bool allowUnsigned = parsed.Has("--allow-unsigned");
  int rejected = 0;
  for (size_t i = 0; i < books.size(); ++i) {
    const std::string& book = books[i];
    TEBookDocument document(shell.CodePage);
    document.Trust = trust;
    std::vector<std::string> problems;
    try {
      shell.Open(document, book, int(i) + 1, int(books.size()));
      problems = Problems(document, book, allowUnsigned);
    } catch (const EFileError& e) {
      console.Err << ErrorLine(e.File(), e.Message());
      QJsonObject object = shell.Json(book, StatusFailed);
      object.insert("error", QString::fromStdString(ErrorText({}, e.Message())));
      json.AddBook(object);
      ++rejected;
      continue;
    } catch (const std::exception& e) {
      console.Err << ErrorLine(book, e.what());
      QJsonObject object = shell.Json(book, StatusFailed);
      object.insert("error", QString::fromStdString(OneLine(e.what())));
      json.AddBook(object);
      ++rejected;
      continue;
    }
    const bool verified = problems.empty();
    rejected += verified ? 0 : 1;
    if (json.Wanted()) {
      QJsonObject object = shell.Json(book, verified ? StatusVerified : StatusRejected);
      QJsonArray list;
      for (const std::string& problem : problems)
        list.append(QString::fromStdString(problem));
      object.insert("problems", list);
      object.insert("signature", SignatureJson(document.Signature()));
      json.AddBook(object);
      continue;
    }
    const TImageSignature& signature = document.Signature();
    console.Out << book << ": "
                << (verified ? signature.Signed ? "verified, signed by " + signature.Subject
                                                : std::string("verified, not signed")
                             : "rejected: " + problems.front())
                << "\n";
    for (size_t p = 1; p < problems.size(); ++p)
      console.Out << book << ": " << problems[p] << "\n";
  }
  json.Finish();
  return rejected == 0 ? 0 : 1;
}
