#pragma once
// What "brand --dry-run" tells of each book: what a brand would change, nothing written.

#include "resources/u_IconSizes.h"

#include <QJsonArray>

#include <string>
#include <vector>

struct TValueChange {
  std::string Name; // UTF-8, as every text here
  std::string Old;
  std::string New;
};

struct TBrandPreview {
  std::string Book;
  std::string Error;                // empty when the book could be branded
  bool Unchanged = false;           // nothing would be written
  std::vector<TValueChange> Values; // the variables whose values would change
  bool IconReplaced = false;
  std::vector<TIconImageInfo> OldIcon;
  std::vector<TIconImageInfo> NewIcon;
  std::string OldTitle;
  std::string NewTitle;
  bool SignatureRemoved = false;
  bool Signed = false;
};

// "32x32 (8 bpp), 48x48 (24 bpp)", or "none".
std::string IconImagesText(const std::vector<TIconImageInfo>& images);
// [{"width", "height", "bitsPerPixel"}...]
QJsonArray IconImagesJson(const std::vector<TIconImageInfo>& images);

// "would brand BOOK:" and a line per change, "  Author: "Ann" -> "Bo"", or the unchanged line.
std::string BrandPreviewLines(const TBrandPreview& preview);

// {"dryRun": true, "books": [{"path", "unchanged", "variables": {name: {"old", "new"}},
//  "icon": {"old", "new"} or null, "title": {"old", "new"}, "signatureRemoved", "signed",
//  "error" or null}...], "failed": n}
std::string BrandPreviewJson(const std::vector<TBrandPreview>& previews);
