#include "signing/u_CertificateTable.h"

#include "resources/vexTools.h"
#include "signing/u_SigningError.h"

std::string CertificateTableOf(std::string_view signedData) {
  const uint32_t length = WinCertHeaderSize + uint32_t(signedData.size());
  std::string table;
  table.reserve(AlignUp(length, CertificateTableAlignment));
  WriteRecord(TWinCertificateHeader{length, WinCertRevision2, WinCertTypePkcsSignedData}, table);
  table.append(signedData);
  table.resize(AlignUp(length, CertificateTableAlignment), '\0');
  return table;
}

std::string_view SignedDataOf(TByteView table) {
  if (!table.Contains(0, WinCertHeaderSize))
    throw ESigningError("the certificate table is shorter than its record header");
  const auto [length, revision, type] = ReadRecord<TWinCertificateHeader>(table);
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
