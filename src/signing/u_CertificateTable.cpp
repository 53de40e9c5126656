#include "signing/u_CertificateTable.h"

#include "resources/vexTools.h"
#include "signing/u_SigningError.h"

namespace {
void PutU16(std::string& out, uint16_t value) {
  out += char(value & 0xFF);
  out += char(value >> 8);
}
void PutU32(std::string& out, uint32_t value) {
  PutU16(out, uint16_t(value));
  PutU16(out, uint16_t(value >> 16));
}
} // namespace

std::string CertificateTableOf(std::string_view signedData) {
  const uint32_t length = WinCertHeaderSize + uint32_t(signedData.size());
  std::string table;
  table.reserve(AlignUp(length, CertificateTableAlignment));
  PutU32(table, length);
  PutU16(table, WinCertRevision2);
  PutU16(table, WinCertTypePkcsSignedData);
  table.append(signedData);
  table.resize(AlignUp(length, CertificateTableAlignment), '\0');
  return table;
}

std::string_view SignedDataOf(TByteView table) {
  if (!table.Contains(0, WinCertHeaderSize))
    throw ESigningError("the certificate table is shorter than its record header");
  const uint32_t length = table.U32(0, "WIN_CERTIFICATE dwLength");
  const uint16_t revision = table.U16(4, "WIN_CERTIFICATE wRevision");
  const uint16_t type = table.U16(6, "WIN_CERTIFICATE wCertificateType");
  if (length < WinCertHeaderSize || !table.Contains(0, length))
    throw ESigningError(Format("the certificate record's length %u does not fit its table", length));
  if (revision != WinCertRevision2 || type != WinCertTypePkcsSignedData)
    throw ESigningError(
        Format("the certificate record is of revision 0x%04X, type %u, not an Authenticode signature",
               revision, type));
  return std::string_view(
      reinterpret_cast<const char*>(table.Bytes(WinCertHeaderSize, length - WinCertHeaderSize,
                                                "WIN_CERTIFICATE bCertificate")),
      length - WinCertHeaderSize);
}
