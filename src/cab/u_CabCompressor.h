#pragma once
// The compressor of the cabinet engine: the FCI calls of CabIntf. Files are read through the
// caller's callbacks, encoded into 32 KiB data blocks and spooled to one temporary file; the
// flush writes header, folders and file entries, then copies the spooled blocks behind them.
// A cabinet never continues in another one: a cabinet that would exceed its maximum size
// fails with FCIERR_CAB_FORMAT_LIMIT.

#include "cab/CabIntf.h"

class TCabPreviousFolder;

namespace CabCompressor {

HFCI Create(ERF* perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
            PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
            PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, CCAB* pccab,
            void* pv);
int32_t AddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, int32_t fExecute,
                PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                TCOMP typeCompress);
int32_t FlushCabinet(HFCI hfci, int32_t fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                     PFNFCISTATUS pfnfcis);
int32_t FlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis);
int32_t Destroy(HFCI hfci);
// Not of the FCI contract: the cabinet's first folder takes over the blocks of previous (an
// earlier cabinet's folder) that decode to exactly its data. previous must stay until Destroy.
void UsePreviousFolder(HFCI hfci, const TCabPreviousFolder* previous);

} // namespace CabCompressor
