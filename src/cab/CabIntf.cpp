#include "cab/CabIntf.h"

#include "cab/u_CabCompressor.h"
#include "cab/u_CabDecompressor.h"

#include <mutex>

namespace {

// The entry points the calls forward to, bound once.
struct TCabinetLibrary {
  decltype(&FCICreate) fciCreate;
  decltype(&FCIAddFile) fciAddFile;
  decltype(&FCIFlushCabinet) fciFlushCabinet;
  decltype(&FCIFlushFolder) fciFlushFolder;
  decltype(&FCIDestroy) fciDestroy;
  decltype(&FDICreate) fdiCreate;
  decltype(&FDIIsCabinet) fdiIsCabinet;
  decltype(&FDICopy) fdiCopy;
  decltype(&FDIDestroy) fdiDestroy;
};

TCabinetLibrary Library;
std::once_flag LibraryBound;

} // namespace

void LoadCabinetLibrary() {
  std::call_once(LibraryBound, [] {
    Library.fciCreate = CabCompressor::Create;
    Library.fciAddFile = CabCompressor::AddFile;
    Library.fciFlushCabinet = CabCompressor::FlushCabinet;
    Library.fciFlushFolder = CabCompressor::FlushFolder;
    Library.fciDestroy = CabCompressor::Destroy;
    Library.fdiCreate = CabDecompressor::Create;
    Library.fdiIsCabinet = CabDecompressor::IsCabinet;
    Library.fdiCopy = CabDecompressor::Copy;
    Library.fdiDestroy = CabDecompressor::Destroy;
  });
}

HFCI FCICreate(ERF* perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
               PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
               PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, CCAB* pccab,
               void* pv) {
  LoadCabinetLibrary();
  return Library.fciCreate(perf, pfnfcifp, pfna, pfnf, pfnopen, pfnread, pfnwrite, pfnclose,
                           pfnseek, pfndelete, pfnfcigtf, pccab, pv);
}

int32_t FCIAddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, int32_t fExecute,
                   PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis,
                   PFNFCIGETOPENINFO pfnfcigoi, TCOMP typeCompress) {
  return Library.fciAddFile(hfci, pszSourceFile, pszFileName, fExecute, pfnfcignc, pfnfcis,
                            pfnfcigoi, typeCompress);
}

int32_t FCIFlushCabinet(HFCI hfci, int32_t fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                        PFNFCISTATUS pfnfcis) {
  return Library.fciFlushCabinet(hfci, fGetNextCab, pfnfcignc, pfnfcis);
}

int32_t FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis) {
  return Library.fciFlushFolder(hfci, pfnfcignc, pfnfcis);
}

int32_t FCIDestroy(HFCI hfci) {
  return Library.fciDestroy(hfci);
}

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int32_t cpuType, ERF* perf) {
  LoadCabinetLibrary();
  return Library.fdiCreate(pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek,
                           cpuType, perf);
}

int32_t FDIIsCabinet(HFDI hfdi, intptr_t hf, FDICABINETINFO* pfdici) {
  return Library.fdiIsCabinet(hfdi, hf, pfdici);
}

int32_t FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int32_t flags, PFNFDINOTIFY pfnfdin,
                PFNFDIDECRYPT pfnfdid, void* pvUser) {
  return Library.fdiCopy(hfdi, pszCabinet, pszCabPath, flags, pfnfdin, pfnfdid, pvUser);
}

int32_t FDIDestroy(HFDI hfdi) {
  return Library.fdiDestroy(hfdi);
}
