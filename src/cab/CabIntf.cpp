#include "cab/CabIntf.h"

#include "cab/u_CabCompressor.h"
#include "cab/u_CabDecompressor.h"

HFCI FCICreate(ERF* perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
               PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
               PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, CCAB* pccab,
               void* pv) {
  return CabCompressor::Create(perf, pfnfcifp, pfna, pfnf, pfnopen, pfnread, pfnwrite, pfnclose,
                               pfnseek, pfndelete, pfnfcigtf, pccab, pv);
}

int32_t FCIAddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, int32_t fExecute,
                   PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis,
                   PFNFCIGETOPENINFO pfnfcigoi, TCOMP typeCompress) {
  return CabCompressor::AddFile(hfci, pszSourceFile, pszFileName, fExecute, pfnfcignc, pfnfcis,
                                pfnfcigoi, typeCompress);
}

int32_t FCIFlushCabinet(HFCI hfci, int32_t fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                        PFNFCISTATUS pfnfcis) {
  return CabCompressor::FlushCabinet(hfci, fGetNextCab, pfnfcignc, pfnfcis);
}

int32_t FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis) {
  return CabCompressor::FlushFolder(hfci, pfnfcignc, pfnfcis);
}

int32_t FCIDestroy(HFCI hfci) {
  return CabCompressor::Destroy(hfci);
}

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int32_t cpuType, ERF* perf,
               void* pv) {
  return CabDecompressor::Create(pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek,
                                 cpuType, perf, pv);
}

int32_t FDIIsCabinet(HFDI hfdi, intptr_t hf, FDICABINETINFO* pfdici) {
  return CabDecompressor::IsCabinet(hfdi, hf, pfdici);
}

int32_t FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int32_t flags, PFNFDINOTIFY pfnfdin,
                PFNFDIDECRYPT pfnfdid, void* pvUser) {
  return CabDecompressor::Copy(hfdi, pszCabinet, pszCabPath, flags, pfnfdin, pfnfdid, pvUser);
}

int32_t FDIDestroy(HFDI hfdi) {
  return CabDecompressor::Destroy(hfdi);
}
