#pragma once
// The cabinet library's call contract: the compression (FCI) and decompression (FDI) calls,
// their callbacks, records and codes. Callers see only this contract. Every context passes the
// user value it was created with to its file callbacks, so contexts share no state and any
// number of them may run at once, each on one thread.

#include <cstdint>

// Error record filled by the library when a call fails.
struct ERF {
  int32_t erfOper; // FCIERR_* or FDIERROR_* code
  int32_t erfType; // the error value a callback reported, 0 when none did
  int32_t fError;  // non-zero when an error is present
};

// Sizes of the name fields of CCAB, terminating zero included.
constexpr int CB_MAX_DISK_NAME = 256;
constexpr int CB_MAX_CABINET_NAME = 256;
constexpr int CB_MAX_CAB_PATH = 256;
constexpr int CB_MAX_FILENAME = 256;

// Cabinet parameters of the compressor.
struct CCAB {
  uint32_t cb;             // maximum cabinet size
  uint32_t cbFolderThresh; // compressed folder size after which a new folder starts
  uint32_t cbReserveCFHeader;
  uint32_t cbReserveCFFolder;
  uint32_t cbReserveCFData;
  int32_t iCab;  // number of the cabinet in its set
  int32_t iDisk; // number of the disk
  int32_t fFailOnIncompressible;
  uint16_t setID;
  char szDisk[CB_MAX_DISK_NAME];
  char szCab[CB_MAX_CABINET_NAME];
  char szCabPath[CB_MAX_CAB_PATH]; // folder of the cabinet, ending in a delimiter
};

enum FCIERROR : int32_t {
  FCIERR_NONE = 0,
  FCIERR_OPEN_SRC = 1,
  FCIERR_READ_SRC = 2,
  FCIERR_ALLOC_FAIL = 3,
  FCIERR_TEMP_FILE = 4,
  FCIERR_BAD_COMPR_TYPE = 5,
  FCIERR_CAB_FILE = 6,
  FCIERR_USER_ABORT = 7,
  FCIERR_MCI_FAIL = 8,
  FCIERR_CAB_FORMAT_LIMIT = 9,
};

enum FDIERROR : int32_t {
  FDIERROR_NONE = 0,
  FDIERROR_CABINET_NOT_FOUND = 1,
  FDIERROR_NOT_A_CABINET = 2,
  FDIERROR_UNKNOWN_CABINET_VERSION = 3,
  FDIERROR_CORRUPT_CABINET = 4,
  FDIERROR_ALLOC_FAIL = 5,
  FDIERROR_BAD_COMPR_TYPE = 6,
  FDIERROR_MDI_FAIL = 7,
  FDIERROR_TARGET_FILE = 8,
  FDIERROR_RESERVE_MISMATCH = 9,
  FDIERROR_WRONG_CABINET = 10,
  FDIERROR_USER_ABORT = 11,
};

// Compression types (the low four bits of a folder's type word).
using TCOMP = uint16_t;
constexpr TCOMP tcompMASK_TYPE = 0x000F;
constexpr TCOMP tcompTYPE_NONE = 0x0000;
constexpr TCOMP tcompTYPE_MSZIP = 0x0001;
constexpr TCOMP tcompTYPE_QUANTUM = 0x0002;
constexpr TCOMP tcompTYPE_LZX = 0x0003;

// Kinds of the compressor's status callback.
constexpr uint32_t statusFile = 0;
constexpr uint32_t statusFolder = 1;
constexpr uint32_t statusCabinet = 2;

// Processor type of FDICreate.
constexpr int cpuUNKNOWN = -1;

// C run-time open flags (_O_*) and permissions (_S_*) as the library passes them to the open
// callback; the values are those of the Windows C run-time, not of this platform's.
enum TCabOpenFlag : int32_t {
  cofRdOnly = 0x0000,
  cofWrOnly = 0x0001,
  cofRdWr = 0x0002,
  cofAppend = 0x0008,
  cofRandom = 0x0010,
  cofSequential = 0x0020,
  cofTemporary = 0x0040,
  cofCreat = 0x0100,
  cofTrunc = 0x0200,
  cofExcl = 0x0400,
  cofShortLived = 0x1000,
  cofBinary = 0x8000,
};
constexpr int32_t cpmRead = 0x0100;
constexpr int32_t cpmWrite = 0x0080;

// File attribute bit of a cabinet's file entry: run after extraction.
constexpr uint16_t cabAttrExec = 0x0040;

using HFCI = void*;
using HFDI = void*;

// Memory and file callbacks of the compressor; err receives a callback's error value.
using PFNFCIALLOC = void* (*)(uint32_t cb);
using PFNFCIFREE = void (*)(void* memory);
using PFNFCIOPEN = intptr_t (*)(char* pszFile, int32_t oflag, int32_t pmode, int32_t* err,
                                void* pv);
using PFNFCIREAD = uint32_t (*)(intptr_t hf, void* memory, uint32_t cb, int32_t* err, void* pv);
using PFNFCIWRITE = uint32_t (*)(intptr_t hf, void* memory, uint32_t cb, int32_t* err, void* pv);
using PFNFCICLOSE = int32_t (*)(intptr_t hf, int32_t* err, void* pv);
using PFNFCISEEK = int32_t (*)(intptr_t hf, int32_t dist, int32_t seektype, int32_t* err, void* pv);
using PFNFCIDELETE = int32_t (*)(char* pszFile, int32_t* err, void* pv);
using PFNFCIGETTEMPFILE = int32_t (*)(char* pszTempName, int32_t cbTempName, void* pv);
using PFNFCIFILEPLACED = int32_t (*)(CCAB* pccab, char* pszFile, int32_t cbFile,
                                     int32_t fContinuation, void* pv);
using PFNFCIGETNEXTCABINET = int32_t (*)(CCAB* pccab, uint32_t cbPrevCab, void* pv);
using PFNFCISTATUS = int32_t (*)(uint32_t typeStatus, uint32_t cb1, uint32_t cb2, void* pv);
using PFNFCIGETOPENINFO = intptr_t (*)(char* pszName, uint16_t* pdate, uint16_t* ptime,
                                       uint16_t* pattribs, int32_t* err, void* pv);

// Memory and file callbacks of the decompressor; the file callbacks receive the user value
// given to FDICreate as pv.
using PFNALLOC = void* (*)(uint32_t cb);
using PFNFREE = void (*)(void* memory);
using PFNOPEN = intptr_t (*)(char* pszFile, int32_t oflag, int32_t pmode, void* pv);
using PFNREAD = uint32_t (*)(intptr_t hf, void* memory, uint32_t cb, void* pv);
using PFNWRITE = uint32_t (*)(intptr_t hf, void* memory, uint32_t cb, void* pv);
using PFNCLOSE = int32_t (*)(intptr_t hf, void* pv);
using PFNSEEK = int32_t (*)(intptr_t hf, int32_t dist, int32_t seektype, void* pv);

struct FDICABINETINFO {
  int32_t cbCabinet; // total length of the cabinet file
  uint16_t cFolders;
  uint16_t cFiles;
  uint16_t setID;
  uint16_t iCabinet; // number of the cabinet in its set
  int32_t fReserve;  // reserved areas present
  int32_t hasprev;   // continues a previous cabinet
  int32_t hasnext;   // continues in a next cabinet
};

enum FDINOTIFICATIONTYPE : int32_t {
  fdintCABINET_INFO = 0,
  fdintPARTIAL_FILE = 1,
  fdintCOPY_FILE = 2,
  fdintCLOSE_FILE_INFO = 3,
  fdintNEXT_CABINET = 4,
  fdintENUMERATE = 5,
};

struct FDINOTIFICATION {
  int32_t cb;
  char* psz1;
  char* psz2;
  char* psz3;
  void* pv; // the user value of FDICopy
  intptr_t hf;
  uint16_t date;
  uint16_t time;
  uint16_t attribs;
  uint16_t setID;
  uint16_t iCabinet;
  uint16_t iFolder;
  FDIERROR fdie;
};

using PFNFDINOTIFY = intptr_t (*)(FDINOTIFICATIONTYPE fdint, FDINOTIFICATION* pfdin);
// Decryption is not part of the cabinets this library reads; the callback is never called.
using PFNFDIDECRYPT = int32_t (*)(void* pfdid);

HFCI FCICreate(ERF* perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
               PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
               PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, CCAB* pccab,
               void* pv);
int32_t FCIAddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, int32_t fExecute,
                   PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis,
                   PFNFCIGETOPENINFO pfnfcigoi, TCOMP typeCompress);
int32_t FCIFlushCabinet(HFCI hfci, int32_t fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                        PFNFCISTATUS pfnfcis);
int32_t FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis);
int32_t FCIDestroy(HFCI hfci);

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int32_t cpuType, ERF* perf,
               void* pv);
int32_t FDIIsCabinet(HFDI hfdi, intptr_t hf, FDICABINETINFO* pfdici);
int32_t FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int32_t flags, PFNFDINOTIFY pfnfdin,
                PFNFDIDECRYPT pfnfdid, void* pvUser);
int32_t FDIDestroy(HFDI hfdi);
