#include "signing/u_Pkcs11Key.h"

#include "signing/u_OpenSSL.h"
#include "signing/u_SigningError.h"

#include <cstring>
#include <dlfcn.h>
#include <libp11.h>
#include <map>
#include <mutex>
#include <openssl/err.h>
#include <p11-kit/uri.h>

const char* const DefaultPkcs11Module = FOLIOSET_PKCS11_PROXY;

namespace {

// A module is initialised once in a process, whatever number of keys it serves: a second
// initialisation would be refused, and the first one's end would end the other's sessions too.
struct TModule {
  PKCS11_CTX* Context = nullptr;
  PKCS11_SLOT* Slots = nullptr;
  unsigned SlotCount = 0;
  bool Loaded = false;
  void* Library = nullptr; // held open by us too, so that why it fails to load is ours to say
  std::mutex Lock; // held while the module is asked anything: its sessions serve one at a time

  ~TModule() {
    if (Slots)
      PKCS11_release_all_slots(Context, Slots, SlotCount);
    if (Loaded)
      PKCS11_CTX_unload(Context);
    if (Context)
      PKCS11_CTX_free(Context);
    if (Library)
      ::dlclose(Library);
  }
};

// The loader's reason, without the path it starts with.
std::string LoaderReason(const std::string& path) {
  const char* error = ::dlerror();
  std::string reason = error ? error : "it cannot be loaded";
  if (reason.compare(0, path.size() + 2, path + ": ") == 0)
    reason.erase(0, path.size() + 2);
  return reason;
}

std::shared_ptr<TModule> LoadModule(const std::string& path) {
  static std::mutex lock;
  static std::map<std::string, std::weak_ptr<TModule>> loaded;
  const std::lock_guard<std::mutex> guard(lock);
  if (std::shared_ptr<TModule> module = loaded[path].lock())
    return module;
  auto module = std::make_shared<TModule>();
  module->Library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module->Library)
    throw ESigningError("it cannot be loaded as a PKCS#11 module: " + LoaderReason(path), path);
  if (!::dlsym(module->Library, "C_GetFunctionList"))
    throw ESigningError("it is no PKCS#11 module", path);
  module->Context = PKCS11_CTX_new();
  if (!module->Context)
    throw ESigningError("no memory for the PKCS#11 module", path);
  module->Loaded = PKCS11_CTX_load(module->Context, path.c_str()) == 0;
  if (!module->Loaded) {
    ERR_clear_error();
    throw ESigningError("it cannot be loaded as a PKCS#11 module", path);
  }
  if (PKCS11_enumerate_slots(module->Context, &module->Slots, &module->SlotCount) != 0) {
    module->Slots = nullptr;
    throw ESigningError("its slots cannot be listed: " + OpenSSLReason("module failure"), path);
  }
  loaded[path] = module;
  return module;
}

struct TUriFree {
  void operator()(P11KitUri* uri) const { p11_kit_uri_free(uri); }
};
using TUri = std::unique_ptr<P11KitUri, TUriFree>;

// The fixed-width, blank-padded field of a token or slot description.
template <size_t N> void Pad(unsigned char (&field)[N], const char* text) {
  std::memset(field, ' ', N);
  if (text)
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}

bool TokenMatches(P11KitUri* uri, const PKCS11_SLOT& slot) {
  CK_TOKEN_INFO token{};
  Pad(token.label, slot.token->label);
  Pad(token.manufacturerID, slot.token->manufacturer);
  Pad(token.model, slot.token->model);
  Pad(token.serialNumber, slot.token->serialnr);
  CK_SLOT_INFO info{};
  Pad(info.slotDescription, slot.description);
  Pad(info.manufacturerID, slot.manufacturer);
  return p11_kit_uri_match_token_info(uri, &token) && p11_kit_uri_match_slot_info(uri, &info);
}

// Whether the URI's attribute of type is absent or equals bytes.
bool AttributeMatches(P11KitUri* uri, CK_ATTRIBUTE_TYPE type, const void* bytes, size_t length) {
  const CK_ATTRIBUTE* attribute = p11_kit_uri_get_attribute(uri, type);
  return !attribute || (bytes && attribute->ulValueLen == length &&
                        std::memcmp(attribute->pValue, bytes, length) == 0);
}

// Whether OpenSSL's queue holds the module's answer code; the queue is emptied.
bool ModuleSaid(CK_RV code) {
  bool said = false;
  while (const unsigned long error = ERR_get_error())
    said = said || (ERR_GET_LIB(error) == ERR_get_CKR_code() && ERR_GET_REASON(error) == int(code));
  return said;
}
} // namespace

struct TPkcs11Key::TSession {
  std::shared_ptr<TModule> Module; // first made, last gone: the key and certificate need it
  TPKey Key;
  TX509 Certificate;
};

TPkcs11Key::TPkcs11Key(const std::string& module, const std::string& uriText,
                       const TPasswordSource& pin)
    : FSession(std::make_unique<TSession>()) {
  const TUri uri(p11_kit_uri_new());
  if (!uri)
    throw ESigningError("no memory for the PKCS#11 URI", uriText);
  if (const int parsed = p11_kit_uri_parse(uriText.c_str(), P11_KIT_URI_FOR_ANY, uri.get());
      parsed != P11_KIT_URI_OK)
    throw ESigningError(Format("it is not a PKCS#11 URI: %s", p11_kit_uri_message(parsed)),
                        uriText);
  // Anyone on the machine can read a command line (so the error does not repeat it), and a
  // module is code to run.
  if (p11_kit_uri_get_pin_value(uri.get()) || p11_kit_uri_get_pin_source(uri.get()))
    throw ESigningError("a PKCS#11 URI may not hold the PIN; give it with --sign-password-file "
                        "or FOLIOSET_SIGN_PASSWORD, or type it when asked");
  if (p11_kit_uri_get_module_path(uri.get()) || p11_kit_uri_get_module_name(uri.get()))
    throw ESigningError("the URI may not name a module; give it with --pkcs11-module", uriText);

  FSession->Module = LoadModule(module);
  TModule& loaded = *FSession->Module;
  const std::lock_guard<std::mutex> guard(loaded.Lock);
  PKCS11_SLOT* slot = nullptr;
  for (unsigned i = 0; i < loaded.SlotCount && !slot; ++i)
    if (loaded.Slots[i].token && loaded.Slots[i].token->initialized &&
        TokenMatches(uri.get(), loaded.Slots[i]))
      slot = &loaded.Slots[i];
  if (!slot)
    throw ESigningError("no token of the module " + module + " matches it", uriText);

  int loggedIn = 0;
  if (slot->token->loginRequired && PKCS11_is_logged_in(slot, 0, &loggedIn) == 0 && !loggedIn) {
    const TSecret secret = pin();
    if (PKCS11_login(slot, 0, secret.Text()) != 0) {
      if (ModuleSaid(CKR_PIN_LOCKED))
        throw ESigningError("the token's PIN is locked", uriText);
      throw ESigningError("the PIN is wrong", uriText);
    }
  }

  PKCS11_KEY* keys = nullptr;
  unsigned keyCount = 0;
  if (PKCS11_enumerate_keys(slot->token, &keys, &keyCount) != 0)
    throw ESigningError("the token's keys cannot be listed: " + OpenSSLReason("token failure"),
                        uriText);
  PKCS11_KEY* found = nullptr;
  unsigned matching = 0;
  for (unsigned i = 0; i < keyCount; ++i) {
    PKCS11_KEY& key = keys[i];
    if (key.isPrivate && AttributeMatches(uri.get(), CKA_ID, key.id, key.id_len) &&
        AttributeMatches(uri.get(), CKA_LABEL, key.label, key.label ? std::strlen(key.label) : 0)) {
      found = found ? found : &key;
      ++matching;
    }
  }
  if (matching == 0)
    throw ESigningError(
        Format("the token %s holds no private key that matches it", slot->token->label), uriText);
  if (matching > 1)
    throw ESigningError(Format("%u private keys of the token %s match it; name one with object= "
                               "or id=",
                               matching, slot->token->label),
                        uriText);
  // Taken now: the token's list of keys moves when another key of it is looked for.
  FSession->Key.reset(PKCS11_get_private_key(found));
  if (!FSession->Key)
    throw ESigningError("the token's key cannot be used: " + OpenSSLReason("unsupported key"),
                        uriText);
  if (const PKCS11_CERT* certificate = PKCS11_find_certificate(found);
      certificate && certificate->x509 && X509_up_ref(certificate->x509))
    FSession->Certificate.reset(certificate->x509);
  ERR_clear_error();
}

TPkcs11Key::~TPkcs11Key() = default;

EVP_PKEY* TPkcs11Key::NewKey() const {
  EVP_PKEY_up_ref(FSession->Key.get());
  return FSession->Key.get();
}

X509* TPkcs11Key::NewCertificate() const {
  if (FSession->Certificate)
    X509_up_ref(FSession->Certificate.get());
  return FSession->Certificate.get();
}

std::mutex& TPkcs11Key::Lock() const {
  return FSession->Module->Lock;
}
