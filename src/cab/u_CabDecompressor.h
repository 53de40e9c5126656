#pragma once
// The decompressor of the cabinet engine: the FDI calls of CabIntf. Reads one cabinet through
// the caller's callbacks, offers each file to the notify callback and writes the data of the
// files it accepts, verifying every data block's checksum. Folders are stored or MSZIP; other
// compression types fail with FDIERROR_BAD_COMPR_TYPE. Cabinet sets are not read: a file
// continued from a previous cabinet is announced with fdintPARTIAL_FILE and skipped, and one
// continued in the next cabinet gives fdintNEXT_CABINET, after which the copy fails.
// Files are offered in the order their data lies in the cabinet (by folder, then offset), not
// in the order of the file list, so each folder is decoded at most once; files whose data
// overlap fail with FDIERROR_CORRUPT_CABINET.
// Budget: the file and folder tables cost a few bytes of memory per byte they take; decoding
// holds one block (32 KiB out, 38 KiB in) and passes each decoded byte on once. What it passes
// on is bounded only by the members' declared sizes: MSZIP expands at most 1032 times, so a
// cabinet of n bytes may yield about 1000 n bytes for members that declare them.
// The seek callback is only called from the beginning of the file. Every file callback gets the
// user value given to Create; the engine keeps no state outside its context.

#include "cab/CabIntf.h"

namespace CabDecompressor {

HFDI Create(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
            PFNCLOSE pfnclose, PFNSEEK pfnseek, int32_t cpuType, ERF* perf, void* pv);
int32_t IsCabinet(HFDI hfdi, intptr_t hf, FDICABINETINFO* pfdici);
int32_t Copy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int32_t flags, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser);
int32_t Destroy(HFDI hfdi);

} // namespace CabDecompressor
