#pragma once
// The JSON document of "brand --json": what happened to each book, then the totals.

#include <string>
#include <vector>

struct TBrandOutcome {
  std::string Book;
  std::string Output; // where the branded book is (the book itself unless --output)
  std::string Error;  // empty when it was branded
  bool SignatureRemoved = false;
  bool Signed = false;    // the branded book carries the reseller's signature
  bool Unchanged = false; // it had nothing to change and was not written
};

// "unchanged BOOK: ...": the line of a book that had nothing to change.
std::string UnchangedLine(const std::string& book);

// {"books": [{"path", "output", "result": "ok", "unchanged" or the error, "signatureRemoved",
//  "signed"}...], "branded": n, "unchanged": n, "failed": n}
std::string BrandReportJson(const std::vector<TBrandOutcome>& outcomes);
