#pragma once
// What a brand changes in each book, or would change: the lines of "brand --dry-run" and
// "brand --check", and the change report of every brand's JSON.

#include "cli/u_BrandReport.h"
#include "resources/u_IconSizes.h"
#include "signing/u_ImageSignature.h"

#include <QJsonArray>
#include <QJsonObject>

#include <string>
#include <vector>

struct TValueChange {
  std::string Name; // UTF-8, as every text here
  std::string Old;
  std::string New;
};

// A value stored as before whose resolution changes through the variables it refers to.
struct TDerivedChange : TValueChange {
  std::vector<std::string> From; // the names it refers to whose values change
};

struct TBrandPreview {
  TBrandOutcome Outcome;               // what the brand would end with
  std::vector<TValueChange> Values;    // the variables whose values would change, as stored
  std::vector<TDerivedChange> Derived; // values shown otherwise, resolved
  std::vector<TIconImageInfo> OldIcon;
  std::vector<TIconImageInfo> NewIcon;
  std::string OldTitle;
  std::string NewTitle;
  TImageSignature OldSignature;
  std::string NewSigner;     // the subject of the signer asked for; empty: none
  bool SignedAsAsked = true; // the book holds the signature asked for (or none was asked)
};

// "32x32 (8 bpp), 48x48 (24 bpp)", or "none".
std::string IconImagesText(const std::vector<TIconImageInfo>& images);
// [{"width", "height", "bitsPerPixel"}...]
QJsonArray IconImagesJson(const std::vector<TIconImageInfo>& images);

// "would brand BOOK:" and a line per change, "  Author: "Ann" -> "Bo"", or the unchanged line.
std::string BrandPreviewLines(const TBrandPreview& preview);
// "differs BOOK:" and a line per thing the book does not hold as asked (a value as stored now
// -> as asked, the icon's sizes, the signature), or the unchanged line.
std::string BrandCheckLines(const TBrandPreview& preview);
// What the book's JSON object says besides the brand's, {"changes": {"variables": {name:
// {"old", "new"}} (as stored), "derived": {name: {"old", "new", "from": [names]}} (resolved),
// "icon": {"old", "new"} or null, "title": {"old", "new"}, "signature": {"old", "new"}}}; none
// for a book that failed.
QJsonObject BrandChangesJson(const TBrandPreview& preview);
