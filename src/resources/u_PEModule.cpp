#include "resources/u_PEModule.h"

#include "resources/vexFiles.h"
#include "resources/vexResTree.h"

#include <new>

TPEModule::TPEModule(const std::string& fileName) : FFileName(fileName) {
  try {
    FFile = std::make_unique<TMappedFile>(fileName, false);
  } catch (const EVexError& e) {
    RaiseVexError(e.Code(), e.Message());
  }
  Parse(FFile->Bytes());
}

TPEModule::TPEModule(const std::string& fileName, std::string bytes)
    : FFileName(fileName), FBytes(std::move(bytes)) {
  Parse(ByteViewOf(FBytes));
}

void TPEModule::Parse(TByteView image) {
  try {
    const TImageHeaders headers = ReadImageHeaders(image);
    const int section = headers.ResourceSection();
    if (section >= 0)
      FRoot = ResTreeParse(image, headers.Sections[size_t(section)]);
  } catch (const EVexError& e) {
    RaiseVexError(e.Code(), e.Message());
  }
}

TPEModule::~TPEModule() = default;

uint64_t TPEModule::OffsetOf(std::string_view part) const {
  const char* image =
      FFile ? reinterpret_cast<const char*>(FFile->Bytes().Bytes(0, 0, "image")) : FBytes.data();
  return uint64_t(part.data() - image);
}

std::optional<std::string_view> TPEModule::FindResource(const TResIdent& type,
                                                        const TResIdent& name) const {
  if (!FRoot)
    return std::nullopt;
  TResItem* t = FindResDirectory(*FRoot, type);
  TResItem* n = t ? FindResDirectory(*t, name) : nullptr;
  if (!n)
    return std::nullopt;
  const TResItem* leaf = FindResLeaf(*n, 0);
  for (auto it = n->Children.begin(); !leaf && it != n->Children.end(); ++it)
    if (!(*it)->IsDirectory)
      leaf = it->get();
  if (!leaf)
    return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(leaf->MappedData), leaf->Size);
}
