#include "signing/u_SignatureCheck.h"

#include "common/u_SysUtils.h"
#include "signing/u_SigningError.h"
#include "signing/u_SpcIndirectData.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace {

const char* const SystemTrustFolder = "/etc/ssl/certs";
// Signatures nested in a signature, each over the same image (Windows' "dual signing").
const char* const SpcNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";
// A signature nests a handful of others at most; more is a file made to cost time.
constexpr int MaxNestedSignatures = 16;

std::string_view View(const ASN1_STRING* s) {
  return std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                          size_t(ASN1_STRING_length(s)));
}

TPkcs7 ReadPkcs7(std::string_view der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  return TPkcs7(d2i_PKCS7(nullptr, &p, long(der.size())));
}

// Whether a signer's messageDigest attribute is the digest of content.
bool MessageDigestIs(PKCS7_SIGNER_INFO* signer, const EVP_MD* md, std::string_view content) {
  const ASN1_TYPE* digest = PKCS7_get_signed_attribute(signer, NID_pkcs9_messageDigest);
  return md && digest && digest->type == V_ASN1_OCTET_STRING &&
         View(digest->value.octet_string) == DigestOf(md, content);
}

// The certificate of stack with the signer's issuer and serial number, or null.
X509* SignerCertificate(STACK_OF(X509) * stack, PKCS7_SIGNER_INFO* signer) {
  return stack ? X509_find_by_issuer_and_serial(stack, signer->issuer_and_serial->issuer,
                                                signer->issuer_and_serial->serial)
               : nullptr;
}

std::string SubjectOf(const X509* certificate) {
  return NameText(X509_get_subject_name(certificate));
}

std::time_t Seconds(const ASN1_TIME* time) {
  std::tm tm{};
  return ASN1_TIME_to_tm(time, &tm) ? ::timegm(&tm) : 0;
}

// A certificate's extended key usage allows use (XKU_CODE_SIGN, XKU_TIMESTAMP); one without the
// extension allows every use.
bool UsageAllows(X509* certificate, uint32_t use) {
  if (!(X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE))
    return true;
  return (X509_get_extended_key_usage(certificate) & (use | XKU_ANYEKU)) != 0;
}

bool Untrusting(int error) {
  switch (error) {
  case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
  case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
  case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
  case X509_V_ERR_CERT_UNTRUSTED:
    return true;
  default:
    return false;
  }
}

struct TChainError {
  int Code;
  X509* Certificate;
};

// Records every fault of a chain and goes on, so that a forged signature further up is found
// even when the root is not trusted: the first fault alone would hide it.
int RecordChainError(int ok, X509_STORE_CTX* context) {
  if (!ok) {
    auto* errors = static_cast<std::vector<TChainError>*>(X509_STORE_CTX_get_app_data(context));
    errors->push_back(
        {X509_STORE_CTX_get_error(context), X509_STORE_CTX_get_current_cert(context)});
  }
  return 1;
}

struct TChainVerdict {
  TSignatureState State = TSignatureState::Invalid;
  std::string Problem;
  std::string TrustedBy;
  std::vector<std::string> Chain;
};

// Verifies leaf's chain at the moment at, through the certificates of untrusted, for use
// (XKU_CODE_SIGN, XKU_TIMESTAMP; what). OpenSSL has no code-signing purpose: the chain is
// verified for any purpose and the extended key usage checked here.
TChainVerdict VerifyChain(X509* leaf, STACK_OF(X509) * untrusted, const TTrustStore& trust,
                          std::time_t at, uint32_t use, const char* what) {
  TChainVerdict verdict;
  const TOpenSSLPtr<X509_STORE_CTX, X509_STORE_CTX_free> context(X509_STORE_CTX_new());
  std::vector<TChainError> errors;
  if (!context || !X509_STORE_CTX_init(context.get(), trust.Store(), leaf, untrusted) ||
      !X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY)) {
    verdict.Problem = "cannot verify the certificate chain: " + OpenSSLReason("no memory");
    return verdict;
  }
  X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(context.get()), at);
  X509_STORE_CTX_set_app_data(context.get(), &errors);
  X509_STORE_CTX_set_verify_cb(context.get(), RecordChainError);
  if (X509_verify_cert(context.get()) <= 0 && errors.empty())
    errors.push_back({X509_STORE_CTX_get_error(context.get()), leaf});
  ERR_clear_error();

  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  for (int i = 0; i < sk_X509_num(chain); ++i)
    verdict.Chain.push_back(SubjectOf(sk_X509_value(chain, i)));
  const auto problem = [](const TChainError& e) {
    const std::string subject = e.Certificate ? SubjectOf(e.Certificate) : std::string("?");
    switch (e.Code) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return Format("the root %s is not trusted", subject.c_str());
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return Format("no trusted certificate of %s, the issuer of %s",
                    e.Certificate ? NameText(X509_get_issuer_name(e.Certificate)).c_str() : "?",
                    subject.c_str());
    default:
      return Format("the certificate %s: %s", subject.c_str(),
                    X509_verify_cert_error_string(e.Code));
    }
  };
  for (const TChainError& e : errors)
    if (!Untrusting(e.Code)) {
      verdict.Problem = problem(e);
      return verdict;
    }
  for (int i = 0; i < sk_X509_num(chain); ++i)
    if (!UsageAllows(sk_X509_value(chain, i), use)) {
      verdict.Problem = Format("the certificate %s is not meant for %s",
                               SubjectOf(sk_X509_value(chain, i)).c_str(), what);
      return verdict;
    }
  if (!errors.empty()) {
    verdict.State = TSignatureState::Untrusted;
    verdict.Problem = problem(errors.front());
    return verdict;
  }
  verdict.State = TSignatureState::Trusted;
  verdict.TrustedBy = verdict.Chain.empty() ? std::string() : verdict.Chain.back();
  return verdict;
}

// The certificates of both stacks, owned by them.
TX509List BothStacks(STACK_OF(X509) * a, STACK_OF(X509) * b) {
  TX509List all(sk_X509_new_null());
  for (STACK_OF(X509) * stack : {a, b})
    for (int i = 0; all && i < sk_X509_num(stack); ++i)
      sk_X509_push(all.get(), sk_X509_value(stack, i));
  return all;
}

void TakeChain(TTimeStampVerdict& verdict, const TChainVerdict& chain) {
  verdict.State = chain.State;
  if (chain.State != TSignatureState::Trusted)
    verdict.Problem = "the time stamp's authority: " + chain.Problem;
}

// A countersignature, the time stamp of signatures made before RFC 3161: a signer info over
// the signer's encrypted digest, its certificate among the signature's.
TTimeStampVerdict VerifyCountersignature(const ASN1_TYPE* value, PKCS7_SIGNER_INFO* signer,
                                         STACK_OF(X509) * certificates, const TTrustStore& trust) {
  TTimeStampVerdict verdict;
  verdict.Legacy = true;
  verdict.Time = "?";
  const unsigned char* p = value->value.sequence->data;
  const TOpenSSLPtr<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free> counter(
      d2i_PKCS7_SIGNER_INFO(nullptr, &p, value->value.sequence->length));
  X509* certificate = counter ? SignerCertificate(certificates, counter.get()) : nullptr;
  if (!certificate) {
    verdict.Problem = "the time stamp (a countersignature) is damaged or lacks its certificate";
    return verdict;
  }
  verdict.Authority = SubjectOf(certificate);
  const ASN1_TYPE* signingTime = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  if (signingTime &&
      (signingTime->type == V_ASN1_UTCTIME || signingTime->type == V_ASN1_GENERALIZEDTIME)) {
    verdict.Time = TimeText(signingTime->value.utctime);
    verdict.Moment = Seconds(signingTime->value.utctime);
  }
  const EVP_MD* md = EVP_get_digestbyobj(counter->digest_alg->algorithm);
  if (!MessageDigestIs(counter.get(), md, View(signer->enc_digest)) ||
      !AttributesVerify(counter.get(), certificate, md)) {
    verdict.Problem = "the time stamp's signature does not verify";
    return verdict;
  }
  TakeChain(verdict, VerifyChain(certificate, certificates, trust, verdict.Moment, XKU_TIMESTAMP,
                                 "time stamping"));
  return verdict;
}

// Every value of the unsigned attribute nid of signer.
std::vector<const ASN1_TYPE*> UnsignedValues(PKCS7_SIGNER_INFO* signer, int nid) {
  std::vector<const ASN1_TYPE*> values;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(signer->unauth_attr); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(signer->unauth_attr, i);
    if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(attribute)) != nid)
      continue;
    for (int j = 0; j < X509_ATTRIBUTE_count(attribute); ++j)
      values.push_back(X509_ATTRIBUTE_get0_type(attribute, j));
  }
  return values;
}

// The checks of VerifySignedData that raise ESigningError for an invalid signature.
void CheckSignedData(TSignatureVerdict& verdict, std::string_view der,
                     const TImageDigestOf& digestOf, const TTrustStore& trust,
                     std::vector<TSignatureVerdict>* nested) {
  const TPkcs7 signature = ReadPkcs7(der);
  if (!signature || !PKCS7_type_is_signed(signature.get()))
    throw ESigningError("the signature is no PKCS#7 SignedData");
  const PKCS7* content = signature->d.sign->contents;
  const TAsn1Object indirectType(OBJ_txt2obj(SpcIndirectDataOid, 1));
  if (!content || !content->type || OBJ_cmp(content->type, indirectType.get()) != 0 ||
      !content->d.other || content->d.other->type != V_ASN1_SEQUENCE)
    throw ESigningError("the signature holds no Authenticode content");
  const std::string_view indirect = View(content->d.other->value.sequence);

  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(signature.get());
  if (sk_PKCS7_SIGNER_INFO_num(signers) != 1)
    throw ESigningError("the signature has not exactly one signer");
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  STACK_OF(X509)* certificates = signature->d.sign->cert;
  X509* certificate = SignerCertificate(certificates, signer);
  if (!certificate)
    throw ESigningError("the signature does not carry its signer's certificate");
  verdict.Subject = SubjectOf(certificate);
  verdict.Issuer = NameText(X509_get_issuer_name(certificate));
  verdict.Certificate = DerOf(certificate, i2d_X509);
  for (int i = 0; i < sk_X509_num(certificates); ++i)
    verdict.Carried.push_back(DerOf(sk_X509_value(certificates, i), i2d_X509));
  std::sort(verdict.Carried.begin(), verdict.Carried.end());
  verdict.NotBefore = TimeText(X509_get0_notBefore(certificate));
  verdict.NotAfter = TimeText(X509_get0_notAfter(certificate));

  const TIndirectData stated = ReadIndirectData(indirect);
  verdict.Digest = stated.DigestName;
  if (digestOf(stated.DigestName) != stated.Digest)
    throw ESigningError("the file was changed after it was signed");
  const EVP_MD* md = EVP_get_digestbyobj(signer->digest_alg->algorithm);
  if (!MessageDigestIs(signer, md, IndirectDataContentOctets(indirect)))
    throw ESigningError("the signature does not sign its own content");
  if (!AttributesVerify(signer, certificate, md))
    throw ESigningError("the signature does not verify with its signer's certificate");

  const int tokenNid = NidOfOid(SpcRfc3161TimeStampOid);
  if (const ASN1_TYPE* token = PKCS7_get_attribute(signer, tokenNid)) {
    verdict.TimeStamp =
        token->type == V_ASN1_SEQUENCE
            ? VerifyTimeStampToken(View(token->value.sequence), View(signer->enc_digest),
                                   certificates, trust)
            : TTimeStampVerdict{
                  "?", {}, false, TSignatureState::Invalid, "the time stamp is damaged", 0};
  } else if (const ASN1_TYPE* counter = PKCS7_get_attribute(signer, NID_pkcs9_countersignature)) {
    verdict.TimeStamp =
        counter->type == V_ASN1_SEQUENCE
            ? VerifyCountersignature(counter, signer, certificates, trust)
            : TTimeStampVerdict{
                  "?", {}, true, TSignatureState::Invalid, "the time stamp is damaged", 0};
  }
  const TTimeStampVerdict& stamp = verdict.TimeStamp;
  if (!stamp.Time.empty() && stamp.State == TSignatureState::Invalid)
    throw ESigningError(stamp.Problem);

  // The certificate must have been valid when the signature was made: at the time stamp's
  // time when a trusted authority vouches for it, otherwise now.
  const bool stamped = !stamp.Time.empty();
  const bool vouched = stamped && stamp.State == TSignatureState::Trusted;
  const TChainVerdict chain =
      VerifyChain(certificate, certificates, trust, vouched ? stamp.Moment : trust.Now(),
                  XKU_CODE_SIGN, "code signing");
  verdict.State = chain.State;
  verdict.Problem = chain.Problem;
  verdict.TrustedBy = chain.TrustedBy;
  verdict.Chain = chain.Chain;
  if (verdict.State == TSignatureState::Trusted && stamped && !vouched) {
    verdict.State = stamp.State;
    verdict.Problem = stamp.Problem;
  }

  if (!nested)
    return;
  const std::vector<const ASN1_TYPE*> values =
      UnsignedValues(signer, NidOfOid(SpcNestedSignatureOid));
  for (const ASN1_TYPE* value : values) {
    if (nested->size() == MaxNestedSignatures)
      throw ESigningError(Format("the signature nests more than %d others", MaxNestedSignatures));
    TSignatureVerdict inner;
    if (value->type == V_ASN1_SEQUENCE)
      inner = VerifySignedData(View(value->value.sequence), digestOf, trust, nullptr);
    else
      inner.Problem = "the nested signature is damaged";
    nested->push_back(inner);
  }
}

} // namespace

// Whether a signer's signature over its signed attributes verifies with certificate.
bool AttributesVerify(PKCS7_SIGNER_INFO* signer, X509* certificate, const EVP_MD* md) {
  unsigned char* attributes = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(signer->auth_attr), &attributes,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  if (length <= 0)
    return false;
  const TMdContext context(EVP_MD_CTX_new());
  const bool verified = context &&
                        EVP_DigestVerifyInit(context.get(), nullptr, md, nullptr,
                                             X509_get0_pubkey(certificate)) == 1 &&
                        EVP_DigestVerify(context.get(), ASN1_STRING_get0_data(signer->enc_digest),
                                         size_t(ASN1_STRING_length(signer->enc_digest)), attributes,
                                         size_t(length)) == 1;
  OPENSSL_free(attributes);
  return verified;
}

const char* SignatureStateName(TSignatureState state) {
  switch (state) {
  case TSignatureState::Trusted:
    return "valid-trusted";
  case TSignatureState::Untrusted:
    return "valid-untrusted";
  case TSignatureState::Invalid:
    break;
  }
  return "invalid";
}

TTrustStore::TTrustStore(const std::string& caFile, std::time_t now)
    : FStore(X509_STORE_new()), FNow(now) {
  if (!FStore)
    throw ESigningError("no memory for the trusted certificates");
  const bool loaded = caFile.empty() ? X509_STORE_load_path(FStore, SystemTrustFolder)
                                     : X509_STORE_load_file(FStore, caFile.c_str());
  if (!loaded) {
    X509_STORE_free(FStore);
    OpenSSLReason("");
    throw ESigningError(
        caFile.empty() ? Format("the trusted certificates of %s cannot be read", SystemTrustFolder)
                       : std::string("it holds no PEM certificate"),
        caFile);
  }
}

TTrustStore::~TTrustStore() {
  X509_STORE_free(FStore);
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (!time || !ASN1_TIME_to_tm(time, &tm))
    return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

TSignatureVerdict VerifySignedData(std::string_view der, const TImageDigestOf& digestOf,
                                   const TTrustStore& trust,
                                   std::vector<TSignatureVerdict>* nested) {
  TSignatureVerdict verdict;
  try {
    CheckSignedData(verdict, der, digestOf, trust, nested);
  } catch (const Exception& e) {
    verdict.State = TSignatureState::Invalid;
    verdict.Problem = e.Message();
    verdict.TrustedBy.clear();
  }
  ERR_clear_error();
  if (nested)
    for (const TSignatureVerdict& inner : *nested)
      if (inner.State > verdict.State) {
        verdict.State = inner.State;
        verdict.Problem = "a nested signature: " + inner.Problem;
      }
  return verdict;
}

TTimeStampVerdict VerifyTimeStampToken(std::string_view token, std::string_view signature,
                                       STACK_OF(X509) * more, const TTrustStore& trust) {
  TTimeStampVerdict verdict;
  verdict.Time = "?";
  const TPkcs7 content = ReadPkcs7(token);
  const TTimeStampInfo info(content && PKCS7_type_is_signed(content.get())
                                ? PKCS7_to_TS_TST_INFO(content.get())
                                : nullptr);
  STACK_OF(PKCS7_SIGNER_INFO)* signers = info ? PKCS7_get_signer_info(content.get()) : nullptr;
  if (!info || sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
    ERR_clear_error();
    verdict.Problem = "the time stamp is damaged";
    return verdict;
  }
  verdict.Time = TimeText(TS_TST_INFO_get_time(info.get()));
  verdict.Moment = Seconds(TS_TST_INFO_get_time(info.get()));
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  const auto certificates = BothStacks(content->d.sign->cert, more);
  X509* certificate = SignerCertificate(certificates.get(), signer);
  if (!certificate) {
    verdict.Problem = "the time stamp does not carry its authority's certificate";
    return verdict;
  }
  verdict.Authority = SubjectOf(certificate);

  // The token's signature over its content (the TSTInfo, genTime included).
  const TBio data(PKCS7_dataInit(content.get(), nullptr));
  bool sound = data != nullptr;
  char piece[4096];
  while (sound && BIO_read(data.get(), piece, sizeof piece) > 0) {
  }
  sound = sound && PKCS7_signatureVerify(data.get(), content.get(), signer, certificate) == 1;
  ERR_clear_error();
  if (!sound) {
    verdict.Problem = "the time stamp's signature does not verify";
    return verdict;
  }
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const EVP_MD* md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
  if (!md || View(TS_MSG_IMPRINT_get_msg(imprint)) != DigestOf(md, signature)) {
    verdict.Problem = "the time stamp is over another signature";
    return verdict;
  }
  TakeChain(verdict, VerifyChain(certificate, certificates.get(), trust, verdict.Moment,
                                 XKU_TIMESTAMP, "time stamping"));
  return verdict;
}
