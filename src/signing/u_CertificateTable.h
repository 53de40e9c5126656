#pragma once
// The attribute certificate table at the end of a signed image: one WIN_CERTIFICATE record
// (length, revision 2.0, type PKCS_SIGNED_DATA, the PKCS#7 SignedData) padded to 8 bytes.

#include "resources/vexTools.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint16_t WinCertRevision2 = 0x0200;
inline constexpr uint16_t WinCertTypePkcsSignedData = 0x0002;
inline constexpr uint32_t WinCertHeaderSize = 8;

// WIN_CERTIFICATE before its certificate, described once for reading and writing.
struct TWinCertificateHeader {
  uint32_t Length = 0; // of the whole record, header included
  uint16_t Revision = 0, Type = 0;
  bool operator==(const TWinCertificateHeader&) const = default;
  template <typename Record, typename Walk> static void Fields(Record& r, Walk& f) {
    f.Field(r.Length, "WIN_CERTIFICATE dwLength");
    f.Field(r.Revision, "WIN_CERTIFICATE wRevision");
    f.Field(r.Type, "WIN_CERTIFICATE wCertificateType");
  }
};

// The table holding signedData (DER) as its one record.
std::string CertificateTableOf(std::string_view signedData);

// The SignedData of the first record of a table; raises ESigningError naming what is wrong
// when the table holds no record of revision 2.0 and type PKCS_SIGNED_DATA.
std::string_view SignedDataOf(TByteView table);
