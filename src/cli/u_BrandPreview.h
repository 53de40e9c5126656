#pragma once
// What "brand --dry-run" tells of each book: what a brand would change, nothing written.

#include "cli/u_BrandReport.h"
#include "resources/u_IconSizes.h"

#include <QJsonArray>
#include <QJsonObject>

#include <string>
#include <vector>

struct TValueChange {
  std::string Name; // UTF-8, as every text here
  std::string Old;
  std::string New;
};

struct TBrandPreview {
  TBrandOutcome Outcome;            // what the brand would end with
  std::vector<TValueChange> Values; // the variables whose values would change
  std::vector<TIconImageInfo> OldIcon;
  std::vector<TIconImageInfo> NewIcon;
  std::string OldTitle;
  std::string NewTitle;
};

// "32x32 (8 bpp), 48x48 (24 bpp)", or "none".
std::string IconImagesText(const std::vector<TIconImageInfo>& images);
// [{"width", "height", "bitsPerPixel"}...]
QJsonArray IconImagesJson(const std::vector<TIconImageInfo>& images);

// "would brand BOOK:" and a line per change, "  Author: "Ann" -> "Bo"", or the unchanged line.
std::string BrandPreviewLines(const TBrandPreview& preview);
// What the book's JSON object says besides the brand's: {"dryRun": true, "variables": {name:
// {"old", "new"}}, "icon": {"old", "new"} or null, "title": {"old", "new"}}
QJsonObject BrandChangesJson(const TBrandPreview& preview);
