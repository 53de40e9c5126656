#pragma once
// The Authenticode structures around a signature, in DER: the SpcIndirectDataContent that
// carries the image digest (what the PKCS#7 SignedData signs), and the signed attributes that
// name the program and its link.

#include <string>
#include <string_view>

// Object identifiers of the Authenticode format.
inline constexpr const char* SpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
inline constexpr const char* SpcPeImageDataOid = "1.3.6.1.4.1.311.2.1.15";
inline constexpr const char* SpcSpOpusInfoOid = "1.3.6.1.4.1.311.2.1.12";
inline constexpr const char* SpcStatementTypeOid = "1.3.6.1.4.1.311.2.1.11";
inline constexpr const char* SpcIndividualCodeSigningOid = "1.3.6.1.4.1.311.2.1.21";
inline constexpr const char* SpcRfc3161TimeStampOid = "1.3.6.1.4.1.311.3.3.1";

// The image digest as a signature states it.
struct TIndirectData {
  std::string DigestName; // OpenSSL's name of the algorithm, "SHA256"
  std::string Digest;
};

// SpcIndirectDataContent for a PE image with this digest (digestName as OpenSSL knows it).
std::string IndirectDataDer(const std::string& digestName, std::string_view digest);
// Reads one back; raises ESigningError naming what does not fit the structure.
TIndirectData ReadIndirectData(std::string_view der);
// What the SignedData's message digest covers: the content octets of the DER, without the
// outer tag and length (Authenticode's rule, unlike plain PKCS#7).
std::string_view IndirectDataContentOctets(std::string_view der);

// SpcSpOpusInfo with the program name (UTF-8; stored as UTF-16) and link (ASCII), each left
// out when empty. Raises ESigningError for a name that is not UTF-8 or a link that is not
// ASCII.
std::string OpusInfoDer(const std::string& programName, const std::string& url);
// SpcStatementType naming individual code signing.
std::string StatementTypeDer();
