#include "signing/u_CodeSigner.h"

#include "signing/u_CertificateTable.h"
#include "signing/u_OpenSSL.h"
#include "signing/u_Pkcs11Key.h"
#include "signing/u_SignCommand.h"
#include "signing/u_SignatureCheck.h"
#include "signing/u_SigningError.h"
#include "signing/u_SpcIndirectData.h"
#include "signing/u_TimeStamp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>

namespace {

// A certificate or key file is a few kilobytes; a chain of a dozen certificates stays far
// below this. A bigger file is no key store, and reading it whole costs only this much.
constexpr long MaxKeyFileSize = 1 << 20;

// Key stores derive their MAC key in a few thousand rounds (2048 by default); a count far beyond
// that is a file made to keep us busy, as a million rounds already take about a second.
constexpr long MaxKeyDerivationRounds = 1000000;

TBio OpenKeyFile(const std::string& fileName) {
  TBio bio(BIO_new_file(fileName.c_str(), "rb"));
  if (!bio) {
    ERR_clear_error();
    throw ESigningError(
        Format("Cannot open file \"%s\". %s", fileName.c_str(), SysErrorMessage(errno).c_str()),
        fileName);
  }
  char probe;
  if (BIO_seek(bio.get(), MaxKeyFileSize) == 0 && BIO_read(bio.get(), &probe, 1) == 1)
    throw ESigningError("it is larger than a certificate or key file can be", fileName);
  BIO_seek(bio.get(), 0);
  return bio;
}

ASN1_STRING* NewSequence(const std::string& der) {
  ASN1_STRING* s = ASN1_STRING_new();
  if (!s || !ASN1_STRING_set(s, der.data(), int(der.size()))) {
    ASN1_STRING_free(s);
    throw ESigningError("no memory for the signature");
  }
  return s;
}

ASN1_OCTET_STRING* NewOctets(const std::string& bytes) {
  ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
  if (!s || !ASN1_OCTET_STRING_set(s, reinterpret_cast<const unsigned char*>(bytes.data()),
                                   int(bytes.size()))) {
    ASN1_OCTET_STRING_free(s);
    throw ESigningError("no memory for the signature");
  }
  return s;
}

std::string DateText(const ASN1_TIME* time) {
  std::tm tm{};
  if (!ASN1_TIME_to_tm(time, &tm))
    return "?";
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  return text;
}

// Adds the PEM certificates of file to chain; raises ESigningError naming a file without one.
void ReadCertificates(const std::string& file, STACK_OF(X509) * chain) {
  const TBio bio = OpenKeyFile(file);
  int read = 0;
  while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    ++read;
    if (!sk_X509_push(chain, certificate))
      X509_free(certificate);
  }
  ERR_clear_error(); // the end of the file
  if (read == 0)
    throw ESigningError("it holds no PEM certificate", file);
}

// The last certificate reached from leaf through the issuers in chain.
X509* ChainEnd(X509* leaf, STACK_OF(X509) * chain) {
  X509* end = leaf;
  for (int step = 0; step <= sk_X509_num(chain); ++step) {
    if (X509_check_issued(end, end) == X509_V_OK)
      return end;
    X509* issuer = nullptr;
    for (int i = 0; i < sk_X509_num(chain) && !issuer; ++i)
      if (X509_check_issued(sk_X509_value(chain, i), end) == X509_V_OK)
        issuer = sk_X509_value(chain, i);
    if (!issuer)
      break;
    end = issuer;
  }
  return end;
}

// The issuer the chain from leaf stops short of, when the system's roots do not hold it either;
// empty when the chain ends at a root, or at a certificate whose issuer the system trusts.
std::string MissingIssuer(X509* leaf, STACK_OF(X509) * chain) {
  X509* end = ChainEnd(leaf, chain);
  if (X509_check_issued(end, end) == X509_V_OK)
    return {};
  const TTrustStore system({}, std::time(nullptr));
  const TOpenSSLPtr<X509_STORE_CTX, X509_STORE_CTX_free> context(X509_STORE_CTX_new());
  X509* issuer = nullptr;
  const bool found = context && X509_STORE_CTX_init(context.get(), system.Store(), end, nullptr) &&
                     X509_STORE_CTX_get1_issuer(&issuer, context.get(), end) == 1;
  X509_free(issuer);
  ERR_clear_error();
  return found ? std::string() : NameText(X509_get_issuer_name(end));
}

std::string MissingSubject(X509* leaf, STACK_OF(X509) * chain) {
  return NameText(X509_get_subject_name(ChainEnd(leaf, chain)));
}

// Signs signer's attributes through the signing command: for RSA it is given the DER
// DigestInfo (to sign PKCS#1 v1.5), otherwise the bare digest, and returns the signature as the
// key's algorithm encodes it. A signature that does not verify with the certificate is refused.
void SignThroughCommand(PKCS7_SIGNER_INFO* signer, const EVP_MD* md, X509* certificate,
                        const TSigningOptions& options) {
  unsigned char* attributes = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(signer->auth_attr), &attributes,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
  if (length <= 0)
    throw ESigningError("no memory for the signature");
  const std::string digest =
      DigestOf(md, std::string_view(reinterpret_cast<const char*>(attributes), size_t(length)));
  OPENSSL_free(attributes);
  std::string input = digest;
  if (EVP_PKEY_get_base_id(X509_get0_pubkey(certificate)) == EVP_PKEY_RSA) {
    const TOpenSSLPtr<X509_SIG, X509_SIG_free> info(X509_SIG_new());
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* octets = nullptr;
    if (info)
      X509_SIG_getm(info.get(), &algorithm, &octets);
    if (!info ||
        !X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) ||
        !ASN1_OCTET_STRING_set(octets, reinterpret_cast<const unsigned char*>(digest.data()),
                               int(digest.size())))
      throw ESigningError("no memory for the signature");
    input = DerOf(info.get(), i2d_X509_SIG);
  }
  const std::string signature = RunSignCommand(options.SignCommand, input, options.WhileWaiting);
  if (!ASN1_STRING_set(signer->enc_digest, signature.data(), int(signature.size())))
    throw ESigningError("no memory for the signature");
  if (!AttributesVerify(signer, certificate, md)) {
    ERR_clear_error();
    throw ESigningError("the signing command's signature does not verify with the certificate " +
                        NameText(X509_get_subject_name(certificate)));
  }
}

// Whether OpenSSL's last failure was for want of an algorithm; the error queue is emptied.
bool AlgorithmWasUnsupported() {
  bool unsupported = false;
  while (const unsigned long code = ERR_get_error())
    unsupported = unsupported || ERR_GET_REASON(code) == ERR_R_UNSUPPORTED;
  return unsupported;
}

// OpenSSL's providers loaded for the rest of the process, given back at its end so that
// nothing they hold is left behind.
struct TLoadedProviders {
  OSSL_PROVIDER* Default = nullptr;
  OSSL_PROVIDER* Legacy = nullptr;
  ~TLoadedProviders() {
    if (Legacy)
      OSSL_PROVIDER_unload(Legacy);
    if (Default)
      OSSL_PROVIDER_unload(Default);
  }
};

// Loads OpenSSL's legacy provider (RC2, RC4, DES) beside the default one, once; false when
// it was loaded already or cannot be, so that a caller retries only once.
bool LoadLegacyCiphers() {
  static std::once_flag once;
  static TLoadedProviders providers;
  bool loaded = false;
  std::call_once(once, [&loaded] {
    providers.Default = OSSL_PROVIDER_load(nullptr, "default");
    providers.Legacy = providers.Default ? OSSL_PROVIDER_load(nullptr, "legacy") : nullptr;
    loaded = providers.Legacy != nullptr;
  });
  return loaded;
}

// Passes the password to OpenSSL's PEM reader, asking the source only when the key is
// encrypted. What the source raises must not pass through OpenSSL: it is kept and raised again
// once the reader has returned.
struct TPemPassword {
  const TPasswordSource* Source;
  bool Asked = false;
  std::exception_ptr Failure;
  static int Give(char* buffer, int size, int, void* self) {
    auto& me = *static_cast<TPemPassword*>(self);
    me.Asked = true;
    try {
      const TSecret secret = (*me.Source)();
      if (secret.Length() > size_t(size))
        return -1;
      std::memcpy(buffer, secret.Text(), secret.Length());
      return int(secret.Length());
    } catch (...) {
      me.Failure = std::current_exception();
      return -1;
    }
  }
};
} // namespace

struct TCodeSigner::TKeys {
  std::unique_ptr<TPkcs11Key> Token; // where Key signs, when on a token: gone after it
  TPKey Key;
  TX509 Certificate;
  TX509Stack Chain{sk_X509_new_null()};
};

namespace {
struct TSafeBagsFree {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * bags) const {
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  }
};
struct TSafesFree {
  void operator()(STACK_OF(PKCS7) * safes) const { sk_PKCS7_pop_free(safes, PKCS7_free); }
};

// The private key of a PKCS#12 store and its certificate, the other certificates as its chain,
// decrypted with pass; false when pass does not decrypt them (or they cannot be read). Read
// bag by bag rather than through PKCS12_parse, which refuses a store without a MAC.
bool UnpackStore(PKCS12* store, const char* pass, int length, TCodeSigner::TKeys& keys) {
  const std::unique_ptr<STACK_OF(PKCS7), TSafesFree> safes(PKCS12_unpack_authsafes(store));
  if (!safes)
    return false;
  TPKey key;
  std::vector<TX509> certificates;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* safe = sk_PKCS7_value(safes.get(), i);
    const int type = OBJ_obj2nid(safe->type);
    const std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), TSafeBagsFree> bags(
        type == NID_pkcs7_data        ? PKCS12_unpack_p7data(safe)
        : type == NID_pkcs7_encrypted ? PKCS12_unpack_p7encdata(safe, pass, length)
                                      : nullptr);
    if (!bags)
      return false;
    for (int j = 0; j < sk_PKCS12_SAFEBAG_num(bags.get()); ++j) {
      const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags.get(), j);
      switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_keyBag:
        if (!key)
          key.reset(EVP_PKCS82PKEY(PKCS12_SAFEBAG_get0_p8inf(bag)));
        break;
      case NID_pkcs8ShroudedKeyBag:
        if (!key) {
          const TOpenSSLPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free> info(
              PKCS12_decrypt_skey(bag, pass, length));
          if (!info)
            return false;
          key.reset(EVP_PKCS82PKEY(info.get()));
        }
        break;
      case NID_certBag:
        if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate)
          if (X509* certificate = PKCS12_SAFEBAG_get1_cert(bag))
            certificates.emplace_back(certificate);
        break;
      default:
        break;
      }
    }
  }
  if (!key)
    return true; // refused by the caller as a store without a key
  for (TX509& certificate : certificates) {
    if (!keys.Certificate && X509_check_private_key(certificate.get(), key.get()) == 1)
      keys.Certificate = std::move(certificate);
    else if (sk_X509_push(keys.Chain.get(), certificate.get()))
      certificate.release();
  }
  ERR_clear_error();
  keys.Key = std::move(key);
  return true;
}
} // namespace

TCodeSigner::TCodeSigner(const TSigningOptions& options, const TPasswordSource& password)
    : FOptions(options), FKeys(std::make_unique<TKeys>()) {
  UseSecureHeap();
  std::string file; // the file a refusal concerns
  if (!options.Pkcs12File.empty()) {
    file = options.Pkcs12File;
    const TBio bio = OpenKeyFile(file);
    const TPkcs12 store(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!store) {
      ERR_clear_error();
      throw ESigningError("it is not a PKCS#12 file", file);
    }
    const ASN1_INTEGER* rounds = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &rounds, store.get());
    const long roundCount = rounds ? ASN1_INTEGER_get(rounds) : 1;
    if (roundCount < 0 || roundCount > MaxKeyDerivationRounds)
      throw ESigningError(
          Format("it asks for more than %ld key derivation rounds", MaxKeyDerivationRounds), file);
    // A store made with -nomac has no MAC to check the password against: only decrypting
    // its contents tells a wrong password.
    const bool hasMac = PKCS12_mac_present(store.get());
    const auto open = [&](const char* pass, int length) {
      if (hasMac && !PKCS12_verify_mac(store.get(), pass, length))
        return false;
      if (UnpackStore(store.get(), pass, length, *FKeys))
        return true;
      // Stores exported the old way encrypt with RC2 or 3DES, which only OpenSSL's legacy
      // provider has: loaded then, and only then.
      return AlgorithmWasUnsupported() && LoadLegacyCiphers() &&
             UnpackStore(store.get(), pass, length, *FKeys);
    };
    // A store without a password opens with an empty one, or none; only then is one asked.
    bool opened = open("", 0) || open(nullptr, 0);
    if (!opened) {
      ERR_clear_error();
      const TSecret secret = password();
      if (hasMac && !PKCS12_verify_mac(store.get(), secret.Text(), int(secret.Length()))) {
        ERR_clear_error();
        throw ESigningError("the password is wrong", file);
      }
      if (!open(secret.Text(), int(secret.Length()))) {
        const std::string reason = OpenSSLReason("damaged");
        throw ESigningError(
            hasMac ? "it cannot be read: " + reason : std::string("the password is wrong"), file);
      }
    }
    if (!FKeys->Key || !FKeys->Certificate)
      throw ESigningError("it holds no private key with its certificate", file);
  } else if (!options.Pkcs11Uri.empty()) {
    file = options.Pkcs11Uri;
    FKeys->Token = std::make_unique<TPkcs11Key>(
        options.Pkcs11Module.empty() ? DefaultPkcs11Module : options.Pkcs11Module, file, password);
    FKeys->Key.reset(FKeys->Token->NewKey());
    if (options.CertificateFile.empty()) {
      FKeys->Certificate.reset(FKeys->Token->NewCertificate());
      if (!FKeys->Certificate)
        throw ESigningError("the token holds no certificate of the key; give it with --sign-cert",
                            file);
    }
  }
  if (!options.CertificateFile.empty() && options.Pkcs12File.empty()) {
    file = options.CertificateFile;
    // The signer's certificate first, then its intermediates.
    ReadCertificates(file, FKeys->Chain.get());
    FKeys->Certificate.reset(sk_X509_shift(FKeys->Chain.get()));
  }
  if (!options.SignCommand.empty()) {
    // The key stays with the signing service; the certificate's public key says its kind.
    FKeys->Key.reset(X509_get_pubkey(FKeys->Certificate.get()));
  } else if (options.Pkcs12File.empty() && !FKeys->Token) {
    if (options.KeyFile.empty())
      throw ESigningError("a certificate needs its private key (--sign-key)", file);
    const std::string& keyFile = options.KeyFile;
    const TBio bio = OpenKeyFile(keyFile);
    TPemPassword give{&password, false, nullptr};
    FKeys->Key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, TPemPassword::Give, &give));
    if (give.Failure) {
      ERR_clear_error();
      std::rethrow_exception(give.Failure);
    }
    if (!FKeys->Key) {
      const std::string reason = OpenSSLReason("no key");
      throw ESigningError(give.Asked ? std::string("the password is wrong")
                                     : "it holds no PEM private key (" + reason + ")",
                          keyFile);
    }
  }

  X509* certificate = FKeys->Certificate.get();
  if (options.SignCommand.empty() && X509_check_private_key(certificate, FKeys->Key.get()) != 1) {
    ERR_clear_error();
    throw ESigningError("the private key does not belong to the certificate " + Subject(), file);
  }
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0)
    throw ESigningError(Format("the certificate %s expired on %s", Subject().c_str(),
                               DateText(X509_get0_notAfter(certificate)).c_str()),
                        file);
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0)
    throw ESigningError(Format("the certificate %s is not valid before %s", Subject().c_str(),
                               DateText(X509_get0_notBefore(certificate)).c_str()),
                        file);
  // Windows takes a signature only from a certificate whose extended key usage names code
  // signing, and whose key usage, when it has one, allows digital signatures.
  const uint32_t flags = X509_get_extension_flags(certificate);
  if (!(flags & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) ||
      ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE)))
    throw ESigningError(
        Format("the certificate %s is not meant for code signing", Subject().c_str()), file);
  if (!options.ChainFile.empty())
    ReadCertificates(options.ChainFile, FKeys->Chain.get());
  if (const std::string missing = MissingIssuer(certificate, FKeys->Chain.get());
      !missing.empty() && options.Warn)
    options.Warn(file,
                 Format("the signature's chain lacks %s, the issuer of %s; Windows may not "
                        "trust it (give the intermediates with --sign-chain FILE)",
                        missing.c_str(), MissingSubject(certificate, FKeys->Chain.get()).c_str()));
  // Refused now rather than after the brand has built the book.
  OpusInfoDer(options.Description, options.Url);
  if (!EVP_get_digestbyname(options.Digest.c_str()))
    throw ESigningError(Format("no digest %s to sign with", options.Digest.c_str()));
  for (const std::string& url : options.TimeStampUrls)
    CheckTimeStampUrl(url);
  if (!options.TimeStampUrls.empty())
    FTimeStampTrust = std::make_unique<TTrustStore>(options.TimeStampCaFile, std::time(nullptr));
}

TCodeSigner::~TCodeSigner() = default;

std::string TCodeSigner::Subject() const {
  return NameText(X509_get_subject_name(FKeys->Certificate.get()));
}

bool TCodeSigner::MakesLike(const TSignatureVerdict& held) const {
  std::vector<std::string> carried{DerOf(FKeys->Certificate.get(), i2d_X509)};
  for (int i = 0; i < sk_X509_num(FKeys->Chain.get()); ++i)
    carried.push_back(DerOf(sk_X509_value(FKeys->Chain.get(), i), i2d_X509));
  const std::string certificate = carried.front();
  std::sort(carried.begin(), carried.end());
  return held.Certificate == certificate && held.Carried == carried &&
         EVP_get_digestbyname(held.Digest.c_str()) ==
             EVP_get_digestbyname(FOptions.Digest.c_str()) &&
         held.TimeStamp.Time.empty() == FOptions.TimeStampUrls.empty();
}

std::string TCodeSigner::CertificateTable(const TImageHeaders& headers, uint64_t length,
                                          const TImageReader& read) const {
  CheckImageSignable(headers, length);
  const std::vector<TImageRange> ranges = ImageDigestRanges(headers, length);
  const std::string indirect =
      IndirectDataDer(FOptions.Digest, ImageDigest(ranges, FOptions.Digest, read));
  const EVP_MD* md = EVP_get_digestbyname(FOptions.Digest.c_str());

  const TPkcs7 signature(PKCS7_new());
  if (!signature || !PKCS7_set_type(signature.get(), NID_pkcs7_signed))
    throw ESigningError("no memory for the signature");
  PKCS7_SIGNER_INFO* signer =
      PKCS7_add_signature(signature.get(), FKeys->Certificate.get(), FKeys->Key.get(), md);
  if (!signer)
    throw ESigningError("the key cannot sign: " + OpenSSLReason("unsupported key"));
  const auto addSigned = [&](int nid, int type, void* value) {
    if (!PKCS7_add_signed_attribute(signer, nid, type, value))
      throw ESigningError("no memory for the signature");
  };
  addSigned(NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_txt2obj(SpcIndirectDataOid, 1));
  addSigned(NidOfOid(SpcSpOpusInfoOid), V_ASN1_SEQUENCE,
            NewSequence(OpusInfoDer(FOptions.Description, FOptions.Url)));
  addSigned(NidOfOid(SpcStatementTypeOid), V_ASN1_SEQUENCE, NewSequence(StatementTypeDer()));
  addSigned(NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
            NewOctets(DigestOf(md, IndirectDataContentOctets(indirect))));
  if (!FOptions.SignCommand.empty())
    SignThroughCommand(signer, md, FKeys->Certificate.get(), FOptions);
  else {
    std::unique_lock<std::mutex> tokenBusy;
    if (FKeys->Token)
      tokenBusy = std::unique_lock<std::mutex>(FKeys->Token->Lock());
    if (!PKCS7_SIGNER_INFO_sign(signer))
      throw ESigningError("the signature could not be made: " + OpenSSLReason("signing failed"));
  }

  if (!FOptions.TimeStampUrls.empty()) {
    const ASN1_OCTET_STRING* encrypted = signer->enc_digest;
    const std::string token = RequestTimeStamp(
        FOptions.TimeStampUrls,
        std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(encrypted)),
                         size_t(ASN1_STRING_length(encrypted))),
        FKeys->Chain.get(), *FTimeStampTrust,
        {FOptions.TimeStampTimeout, FTimeStampTrust->Store(), FOptions.WhileWaiting});
    if (!PKCS7_add_attribute(signer, NidOfOid(SpcRfc3161TimeStampOid), V_ASN1_SEQUENCE,
                             NewSequence(token)))
      throw ESigningError("no memory for the signature");
  }

  if (!PKCS7_add_certificate(signature.get(), FKeys->Certificate.get()))
    throw ESigningError("no memory for the signature");
  for (int i = 0; i < sk_X509_num(FKeys->Chain.get()); ++i)
    if (!PKCS7_add_certificate(signature.get(), sk_X509_value(FKeys->Chain.get(), i)))
      throw ESigningError("no memory for the signature");

  // The signed content is the SpcIndirectDataContent, under its own content type.
  PKCS7* content = PKCS7_new();
  ASN1_TYPE* value = ASN1_TYPE_new();
  if (!content || !value) {
    PKCS7_free(content);
    ASN1_TYPE_free(value);
    throw ESigningError("no memory for the signature");
  }
  ASN1_TYPE_set(value, V_ASN1_SEQUENCE, NewSequence(indirect));
  content->type = OBJ_txt2obj(SpcIndirectDataOid, 1);
  content->d.other = value;
  if (!PKCS7_set_content(signature.get(), content)) {
    PKCS7_free(content);
    throw ESigningError("no memory for the signature");
  }
  return CertificateTableOf(DerOf(signature.get(), i2d_PKCS7));
}
