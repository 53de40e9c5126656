#pragma once
// The e-book workflow's dealings with an executable's resources: reading a resource of a
// module, replacing the content resource and the icon group, and the single-resource update
// under both. Every update takes the own rewriter (vexRes); a failure raises EOSError.

#include "common/u_FileSnapshot.h"
#include "common/u_Progress.h"
#include "common/u_SysUtils.h"
#include "resources/u_PEModule.h"
#include "resources/vexRes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class EResourcesError : public Exception {
public:
  using Exception::Exception;
};

// Message table entry 65200.
inline constexpr const char* SIconCorrupted = "Icon is corrupted";

// Predefined numeric resource types.
inline constexpr int ResTypeIcon = 3;
inline constexpr int ResTypeGroupIcon = 14;

// Real icons hold a handful of images (sizes times colour depths); a count above this is a
// damaged or hostile file, and the bound keeps an icon small whatever its count says.
inline constexpr uint32_t MaxIconImages = 256;

// A resource type or name as callers give it: an ANSI text or an integer below 0x10000.
struct TResourceIdent {
  TResourceIdent(const char* text) : IsText(true), Text(text) {}
  TResourceIdent(std::string text) : IsText(true), Text(std::move(text)) {}
  // Raises EResourcesError for a value outside 0..65535.
  TResourceIdent(int id);

  bool IsText = false;
  std::string Text;
  uint16_t Id = 0;
};

struct TResourceUpdateResult {
  // The executable was signed: the signature, which no change leaves valid, was removed.
  bool SignatureRemoved = false;
};

// The bytes of the resource (type, name) of module; empty when the module has none.
std::string ReadModuleResource(const TPEModule& module, const std::string& type,
                               const std::string& name);
// The same in place, valid while the module lives; nothing when the module has none.
std::optional<std::string_view> FindModuleResource(const TPEModule& module, const std::string& type,
                                                   const std::string& name);

// Where the bytes of a resource lie in its module's file; Size 0 when the module has no such
// resource.
using TResourcePlace = TFileRange;
TResourcePlace ModuleResourcePlace(const TPEModule& module, const std::string& type,
                                   const std::string& name);
// Where resource (type, name) lies in the file reader reads, when an update that replaces it
// needs none of its old bytes: FindStandAloneResource.
std::optional<TFileRange> FindStandAloneModuleResource(TSnapshotReader& reader,
                                                       const std::string& fileName,
                                                       const std::string& type,
                                                       const std::string& name);

// One language-0 resource (type, name) to replace or add, with its bytes: Data, or when
// DataFile is open all of that file, which then need never be in memory.
struct TResourceChange {
  TResourceIdent Type;
  TResourceIdent Name;
  std::string Data;
  TFileHandle DataFile = {};
};

// Makes every change in one update that either completes or leaves the file as it was. With
// a targetName the changed executable is written there instead (replacing what is there) and
// fileName is only read. Each change's data is handed over to the update, which holds it without
// a copy until it is in the new file. onProgress hears the percent of the new file written.
// With onSign the new file is signed last, before it replaces anything; what onSign raises
// passes on unchanged.
TResourceUpdateResult UpdateExeResources(const std::string& fileName,
                                         std::vector<TResourceChange> changes,
                                         const std::string& targetName = {},
                                         const TPercentEvent& onProgress = {},
                                         const TImageSignEvent& onSign = {});

// A book read into memory: its image, and what its file was when the image was read.
struct TExeImage {
  std::string_view Image;
  TFileIdentity Identity;
  // The file it was read from, when still open: what the update keeps of it is copied from
  // there in the kernel while the file is as Identity says.
  int Handle = -1;
};

// Where an update made from a book in memory goes, and what it tells.
struct TExeImageUpdate {
  std::string TargetName; // the copy written; empty: the book itself
  // The new file is written in the temporary folder and never named: Written is all of it.
  bool Nameless = false;
  TPercentEvent OnProgress;
  TWrittenFile* Written = nullptr; // receives the new file, open, and its identity
  // Signs the new file last, before it replaces anything; what it raises passes on unchanged.
  TImageSignEvent OnSign;
  // Called with the path the new file is about to replace (links resolved), once the new file
  // is complete and on the disk; what it raises passes on unchanged, nothing replaced.
  std::function<void(const std::string& replaced)> BeforeReplace;
};

// The same, with the new file made from book, read from fileName, instead of reading the file
// anew. In place the caller holds the file's lock (TOpenedFile::Lock) throughout, and the file
// is replaced only while fileName still names the file book was read from, unchanged.
TResourceUpdateResult UpdateExeImageResources(const std::string& fileName, const TExeImage& book,
                                              std::vector<TResourceChange> changes,
                                              const TExeImageUpdate& how);

// The same for one resource, in place.
TResourceUpdateResult UpdateExeResource(const std::string& fileName, const TResourceIdent& type,
                                        const TResourceIdent& name, std::string data,
                                        const TPercentEvent& onProgress = {});

// Refuses, before anything is written, an update that could only fail at its end (EOSError):
// in place, the file must open for writing; and the folder of the file written (fileName's,
// or targetName's) must take the new file.
void CheckResourceUpdatePossible(const std::string& fileName, const std::string& targetName = {});

// The same with the type fixed to the text "RCDATA".
TResourceUpdateResult UpdateRCDataResource(const std::string& fileName, const std::string& name,
                                           std::string data, const TPercentEvent& onProgress = {});

// An .ico file image taken apart: the icon group record (images named firstId, firstId + 1,
// ...) and the images in file order.
struct TIconGroupData {
  std::string GroupRecord;
  std::vector<std::string> Images;
};

// Checks an .ico file image and takes it apart; raises EResourcesError "Icon is corrupted",
// also for more than 256 images or images that overlap each other or the directory.
// Budget: the result copies at most the file's bytes once; time linear in the file.
TIconGroupData IconFileToGroup(const std::string& iconFile, int firstId);

// Whether two .ico file images are one icon: the same images, each with the same description,
// in the same order, wherever each file puts them (a group read from a book and the .ico file
// it was written from are one). Bytes that are no .ico file are no icon, the same as none.
bool SameIconImages(const std::string& a, const std::string& b);

// The changes that replace the icon group groupName and the icons it lists by the images of
// an .ico file image (checked whole first: EResourcesError "Icon is corrupted").
std::vector<TResourceChange> IconGroupChanges(const std::string& groupName, int firstId,
                                              const std::string& iconFile);

// Makes those changes, all in one update.
TResourceUpdateResult UpdateIconGroupResource(const std::string& fileName,
                                              const std::string& groupName, int firstId,
                                              const std::string& iconFile);
