#include "ResTestSupport.h"
#include "../common/RecordRoundTrip.h"
#include "cli/u_CommandLine.h"
#include "common/u_Files.h"
#include "ebook_fixture.h"
#include "resources/u_Resources.h"
#include "signing/u_CertificateTable.h"
#include "signing/u_CodeSigner.h"
#include "signing/u_ImageDigest.h"
#include "signing/u_ImageSignature.h"
#include "signing/u_SigningError.h"
#include "signing/u_SpcIndirectData.h"

#include <csignal>
#include <sys/prctl.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

// Books and real programs signed with a certificate made for the run, each judged by
// osslsigncode against the test CA, by pefile, and by our own show.

namespace {

const char* const Password = "secret";
const char* const NsisStubs = "/usr/share/nsis/Stubs";
const char* const NsisPlugins = "/usr/share/nsis/Plugins/x86-ansi";

struct TRun {
  int Status;
  std::string Out;
  std::string Err;
};

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

// Runs a shell command; its status, and what it printed in Out.
TRun Shell(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  TRun run{-1, {}, {}};
  if (!pipe)
    return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.Out.append(buffer, n);
  run.Status = ::pclose(pipe);
  return run;
}

} // namespace

class SigningTest : public EBookFixture {
protected:
  static void SetUpTestSuite() {
    char folder[] = "/tmp/folioset-pki-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    FPki = folder;
    const TRun made = Shell("bash " + Quoted(std::string(FOLIOSET_SIGNING_TESTS) +
                                             "/make_test_pki.sh") +
                            " " + Quoted(FPki));
    ASSERT_EQ(made.Status, 0) << made.Out;
    SaveStringToFile(std::string(Password) + "\n", Pki("password"));
    SaveStringToFile("not the password\n", Pki("wrong_password"));
    for (const char* file : {"password", "wrong_password"})
      std::filesystem::permissions(Pki(file), std::filesystem::perms::owner_read |
                                                  std::filesystem::perms::owner_write);
    StartTimeStampServer();
  }
  static void TearDownTestSuite() {
    if (FServer > 0)
      ::kill(FServer, SIGTERM);
    std::filesystem::remove_all(FPki);
  }

  // The local stand-in for a time-stamp server, at FTimeStampUrl.
  static void StartTimeStampServer() {
    const std::string portFile = Pki("port");
    const TRun started =
        Shell("python3 " + Quoted(std::string(FOLIOSET_SIGNING_TESTS) + "/timestamp_server.py") +
              " " + Quoted(FPki) + " > " + Quoted(portFile) + " & echo $!");
    FServer = pid_t(std::atoi(started.Out.c_str()));
    ASSERT_GT(FServer, 0) << started.Out;
    std::string port, tlsPort;
    for (int i = 0; i < 200 && tlsPort.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::ifstream(portFile) >> port >> tlsPort;
    }
    ASSERT_FALSE(tlsPort.empty()) << "the time-stamp server did not start";
    FTimeStampUrl = "http://127.0.0.1:" + port + "/";
    FTlsTimeStampUrl = "https://127.0.0.1:" + tlsPort + "/";
  }

  static std::string Pki(const std::string& name) { return FPki + "/" + name; }

  // A writable copy of typical.exe at to, or named to in the test's folder.
  std::string SampleAs(const std::string& to) const {
    const std::filesystem::path path = Folder() / to;
    std::filesystem::copy_file(SamplePath("typical.exe"), path,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    return path.string();
  }

  static TRun Cli(const std::vector<std::string>& arguments) {
    std::ostringstream out, err;
    const int status = RunCommandLine(arguments, out, err);
    return {status, out.str(), err.str()};
  }

  // Brands book with the PKCS#12 identity, plus more arguments.
  static TRun SignWithPkcs12(const std::string& book, std::vector<std::string> more = {}) {
    std::vector<std::string> arguments = {"brand", "--sign-pkcs12", Pki("signer.p12"),
                                          "--sign-password-file", Pki("password"), book};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Cli(arguments);
  }

  // osslsigncode's verdict on file against the test CA; empty when it verifies. It still
  // verifies a signature whose time stamp fails, as one without a time stamp, but says so.
  static std::string OsslVerify(const std::string& file) {
    const TRun run = Shell("osslsigncode verify -CAfile " + Quoted(Pki("ca.pem")) +
                           " -TSA-CAfile " + Quoted(Pki("ca.pem")) + " -in " + Quoted(file));
    const bool failed = run.Out.find("ailed") != std::string::npos;
    return run.Status == 0 && run.Out.find("Succeeded") != std::string::npos && !failed
               ? ""
               : run.Out;
  }

  static TImageSignature SignatureOf(const std::string& file) {
    const std::string image = LoadFileToString(file);
    return ReadImageSignature(
        TByteView(reinterpret_cast<const uint8_t*>(image.data()), image.size()),
        TTrustStore(Pki("ca.pem"), std::time(nullptr)));
  }

  static std::string FPki;
  static pid_t FServer;
  static std::string FTimeStampUrl;
  static std::string FTlsTimeStampUrl;
};

std::string SigningTest::FPki;
pid_t SigningTest::FServer = 0;
std::string SigningTest::FTimeStampUrl;
std::string SigningTest::FTlsTimeStampUrl;

TEST_F(SigningTest, EverySampleBookAndRealProgramVerifies) {
  // The other samples do not open (a reference cycle, no content), so they cannot be branded.
  for (const char* sample : {"typical.exe", "icons4.exe", "no_variables_file.exe",
                             "rsrc_not_last.exe"}) {
    SCOPED_TRACE(sample);
    const std::string book = CopySample(sample);
    const TRun run = SignWithPkcs12(book, {"--sign-description", "The Garden Handbook \xe2\x9c\xbf",
                                           "--sign-url", "https://reseller.example"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, "branded " + book + ": 0 values set, icon kept, signed\n");
    EXPECT_EQ(OsslVerify(book), "");
    EXPECT_EQ(VerifyPE(book), "");
    const TRun shown = Cli({"show", "--ca", Pki("ca.pem"), book});
    EXPECT_NE(shown.Out.find("Signed: yes, valid and trusted (root CN=Folioset Test Root)\n"
                             "  Signer: O=Example,CN=Example Reseller\n"
                             "  Issuer: CN=Folioset Test Root\n"),
              std::string::npos)
        << shown.Out;
  }

  // Real programs we did not write, signed through the rewriter as a brand signs a book.
  std::vector<std::string> programs;
  for (const char* stub : {"lzma-x86-ansi", "zlib-x86-unicode", "bzip2-x86-ansi"})
    programs.push_back(std::string(NsisStubs) + "/" + stub);
  for (const char* plugin : {"LangDLL.dll", "nsDialogs.dll"})
    programs.push_back(std::string(NsisPlugins) + "/" + plugin);
  if (!std::filesystem::exists(programs[0]))
    GTEST_SKIP() << "nsis-common is not installed";
  TSigningOptions options;
  options.Pkcs12File = Pki("signer.p12");
  options.Description = "Program";
  const TCodeSigner signer(options, [] { return ReadSecretFile(Pki("password")); });
  for (const std::string& program : programs) {
    SCOPED_TRACE(program);
    const std::string path = (Folder() / "program.exe").string();
    std::filesystem::copy_file(program, path, std::filesystem::copy_options::overwrite_existing);
    std::vector<TResourceChange> changes;
    changes.push_back({"RCDATA", "SYSTEM_MFS", std::string(5000, 'c')});
    UpdateExeResources(path, std::move(changes), {}, {},
                       [&](const TImageHeaders& headers, uint64_t length, const TImageReader& read) {
                         return signer.CertificateTable(headers, length, read);
                       });
    EXPECT_EQ(OsslVerify(path), "");
    EXPECT_EQ(VerifyPE(path, {"--keep", program}), "");
    EXPECT_EQ(SignatureOf(path).State, TSignatureState::Trusted) << SignatureOf(path).Problem;
  }
}

TEST_F(SigningTest, SigningAgainReplacesTheSignature) {
  const std::string book = CopySample("typical.exe");
  ASSERT_EQ(SignWithPkcs12(book).Status, 0);
  const uint64_t onceSigned = std::filesystem::file_size(book);
  // Another identity, from PEM files: an intermediate in the chain and an encrypted key.
  const TRun again = Cli({"brand", book, "--sign-cert", Pki("other_chain.pem"), "--sign-key",
                          Pki("other_encrypted.key"), "--sign-password-file", Pki("password"),
                          "--json"});
  ASSERT_EQ(again.Status, 0) << again.Err;
  EXPECT_NE(again.Out.find("\"signatureRemoved\": true"), std::string::npos) << again.Out;
  EXPECT_NE(again.Out.find("\"signed\": true"), std::string::npos);
  EXPECT_EQ(OsslVerify(book), "");
  EXPECT_NE(Shell("osslsigncode verify -CAfile " + Quoted(Pki("ca.pem")) + " -in " + Quoted(book))
                .Out.find("Number of verified signatures: 1"),
            std::string::npos)
      << "the first signature is gone, not nested";
  EXPECT_EQ(VerifyPE(book), "");
  const TImageSignature signature = SignatureOf(book);
  EXPECT_EQ(signature.State, TSignatureState::Trusted) << signature.Problem;
  EXPECT_EQ(signature.Subject, "CN=Other Reseller");
  EXPECT_EQ(signature.Issuer, "CN=Folioset Test Intermediate");
  // The old table was cut off, not kept as data in front of the new one.
  EXPECT_LT(std::filesystem::file_size(book), onceSigned + 1500);
}

TEST_F(SigningTest, ABrandThatChangesNothingKeepsTheSignatureAndADryRunSaysWhatGoes) {
  const std::string book = CopySample("typical.exe");
  ASSERT_EQ(SignWithPkcs12(book).Status, 0);
  const std::string image = LoadFileToString(book);
  const TRun same = Cli({"brand", book, "--set", "Author=Mara Quill"});
  ASSERT_EQ(same.Status, 0) << same.Err;
  EXPECT_EQ(LoadFileToString(book), image) << "still signed, as it was";
  const TRun dry = Cli({"brand", "-n", book, "--set", "Author=Ann"});
  EXPECT_NE(dry.Out.find("  its digital signature would be removed\n"), std::string::npos)
      << dry.Out;
  EXPECT_EQ(LoadFileToString(book), image);

  // Signed again as it is signed, nothing changes; another signature is another brand.
  const struct {
    std::vector<std::string> signing;
    std::string differs; // what --check says of the signature; empty: unchanged
  } cases[] = {
      {{"--sign-pkcs12", Pki("signer.p12")}, ""},
      {{"--sign-pkcs12", Pki("signer.p12"), "--sign-digest", "sha384"},
       "  signature: O=Example,CN=Example Reseller -> O=Example,CN=Example Reseller\n"},
      {{"--sign-cert", Pki("other_chain.pem"), "--sign-key", Pki("other_encrypted.key")},
       "  signature: O=Example,CN=Example Reseller -> CN=Other Reseller\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signing[1]);
    const std::string held = LoadFileToString(book);
    std::vector<std::string> arguments = {"brand",    book, "--sign-password-file",
                                          Pki("password"), "--set", "Author=Mara Quill"};
    arguments.insert(arguments.end(), c.signing.begin(), c.signing.end());
    arguments.push_back("--check");
    const TRun check = Cli(arguments);
    EXPECT_EQ(check.Status, c.differs.empty() ? 0 : 1);
    EXPECT_EQ(check.Out, c.differs.empty()
                             ? "unchanged " + book + ": it holds what was asked already\n"
                             : "differs " + book + ":\n" + c.differs);
    arguments.pop_back();
    const TRun again = Cli(arguments);
    EXPECT_EQ(again.Status, 0) << again.Err;
    EXPECT_EQ(LoadFileToString(book) == held, c.differs.empty());
    ASSERT_EQ(SignWithPkcs12(book).Status, 0);
  }

  // What the brand would refuse, the dry run refuses: an image whose sections leave a gap
  // cannot be signed.
  std::string gapped = LoadFileToString(SamplePath("typical.exe"));
  const uint32_t nt = Get32(gapped, 0x3c);
  const uint32_t text = nt + 24 + Get16(gapped, nt + 20); // the first section's header
  Put32(gapped, text + 16, Get32(gapped, text + 16) - 0x200); // its raw data ends before the next
  const std::string gappedBook = (Folder() / "gapped.exe").string();
  SaveStringToFile(gapped, gappedBook);
  for (const char* mode : {"--dry-run", "--quiet"}) {
    const TRun refused = SignWithPkcs12(gappedBook, {mode, "--set", "Author=Ann"});
    EXPECT_EQ(refused.Status, 2) << mode;
    EXPECT_EQ(refused.Err, "folioset-cli: " + gappedBook +
                               ": the image's sections leave gaps or overlap in the file, which "
                               "verifiers hash differently; it cannot be signed\n");
    EXPECT_EQ(LoadFileToString(gappedBook), gapped);
  }
  EXPECT_EQ(Cli({"brand", gappedBook, "--set", "Author=Ann"}).Status, 0) << "unsigned, it brands";
}

// Each signature judged by show and verify against the test root, and by osslsigncode: a book
// as signed, tampered with in each part, and signed by impostors, with and without time stamps
// of each kind and nested signatures.
TEST_F(SigningTest, ShowAndVerifyJudgeEachSignatureAsOsslsigncodeDoes) {
  const std::string signedBook = CopySample("typical.exe");
  ASSERT_EQ(SignWithPkcs12(signedBook).Status, 0);
  const std::string image = LoadFileToString(signedBook);
  const std::string stampedBook = SampleAs("stamped.exe");
  ASSERT_EQ(SignWithPkcs12(stampedBook, {"--timestamp", FTimeStampUrl, "--timestamp-ca",
                                         Pki("ca.pem")})
                .Status,
            0);
  const std::string stamped = LoadFileToString(stampedBook);
  const uint32_t nt = Get32(image, 0x3C);
  const uint32_t tableEntry = nt + 24 + 96 + 8 * 4;
  const uint32_t table = Get32(image, tableEntry);
  const std::string book = (Folder() / "judged.exe").string();
  const auto tampered = [&](const std::string& from, std::function<void(std::string&)> change) {
    return [&from, change] (const std::string& to) {
      std::string bytes = from;
      change(bytes);
      SaveStringToFile(bytes, to);
    };
  };
  const auto signedBy = [&](std::vector<std::string> identity) {
    return [this, identity](const std::string& to) {
      SampleAs(to);
      std::vector<std::string> arguments = {"brand", to};
      arguments.insert(arguments.end(), identity.begin(), identity.end());
      ASSERT_EQ(Cli(arguments).Status, 0);
    };
  };
  // osslsigncode signs a signed book again: nesting, or with its own kinds of time stamp.
  const auto osslSigned = [&](const std::string& from, const std::string& how) {
    return [&from, how](const std::string& to) {
      std::filesystem::remove(to);
      const TRun run = Shell("osslsigncode sign -pkcs12 " + Quoted(Pki("signer.p12")) +
                             " -pass " + Password + " " + how + " -in " + Quoted(from) +
                             " -out " + Quoted(to));
      ASSERT_EQ(run.Status, 0) << run.Out;
    };
  };
  const struct {
    const char* book;
    std::function<void(const std::string&)> make;
    std::string judged; // show's "Signed:" line, from its start
    bool verified;      // by verify
  } cases[] = {
      {"as signed", tampered(image, [](std::string&) {}),
       "yes, valid and trusted (root CN=Folioset Test Root)", true},
      {"a byte of the content", tampered(image, [](std::string& b) { b[b.size() / 2] ^= 1; }),
       "yes, invalid: the file was changed after it was signed", false},
      {"a byte of the headers", tampered(image, [&](std::string& b) { b[nt + 24 + 8] ^= 1; }),
       "yes, invalid: the file was changed after it was signed", false},
      {"the checksum, which the signature leaves out",
       tampered(image, [&](std::string& b) { b[nt + 88] ^= 1; }), "yes, valid and trusted", false},
      {"a byte after the signature", tampered(image, [](std::string& b) { b += '\0'; }),
       "yes, invalid: bytes follow the signature that it does not cover", false},
      {"a second record in the certificate table", tampered(image, [&](std::string& b) {
         b += std::string("\x10\0\0\0\0\x02\x02\0", 8) + std::string(8, '\1');
         Put32(b, tableEntry + 4, Get32(b, tableEntry + 4) + 16);
       }),
       "yes, invalid: the certificate table holds more than the signature", false},
      {"a byte of the signed attributes",
       tampered(image, [&](std::string& b) { b[table + 200] ^= 1; }), "yes, invalid: ", false},
      {"the signer's name forged", tampered(image, [](std::string& b) {
         const size_t at = b.rfind("Example Reseller");
         b.replace(at, 16, "Big Vendor Xyzzy");
       }),
       "yes, invalid: the certificate O=Example,CN=Big Vendor Xyzzy: certificate signature "
       "failure",
       false},
      {"a self-signed impostor",
       signedBy({"--sign-cert", Pki("impostor.pem"), "--sign-key", Pki("impostor.key")}),
       "yes, valid but not trusted: the root CN=Big Vendor is not trusted", false},
      {"a leaf without its intermediate",
       signedBy({"--sign-cert", Pki("other.pem"), "--sign-key", Pki("other.key")}),
       "yes, valid but not trusted: no trusted certificate of CN=Folioset Test Intermediate, "
       "the issuer of CN=Other Reseller",
       false},
      {"with its intermediate",
       signedBy({"--sign-cert", Pki("other_chain.pem"), "--sign-key", Pki("other.key")}),
       "yes, valid and trusted (root CN=Folioset Test Root)", true},
      {"time-stamped", tampered(stamped, [](std::string&) {}),
       "yes, valid and trusted (root CN=Folioset Test Root)", true},
      // The token is the signature's last part, its own signature value last of all.
      {"a corrupted time-stamp token", tampered(stamped, [](std::string& b) { b[b.size() - 40] ^= 1; }),
       "yes, invalid: the time stamp's signature does not verify", false},
      {"an edited genTime", tampered(stamped, [](std::string& b) {
         const size_t at = b.rfind("\x18\x0f" "20");
         b.replace(at + 2, 4, "2019");
       }),
       "yes, invalid: the time stamp's signature does not verify", false},
      {"a time stamp of an authority no one trusts",
       osslSigned(signedBook, "-ts " + FTimeStampUrl + "rogue"),
       "yes, valid but not trusted: the time stamp's authority: the root CN=Rogue Time Stamps is "
       "not trusted",
       false},
      {"a legacy countersignature", osslSigned(signedBook, "-t " + FTimeStampUrl + "legacy"),
       "yes, valid and trusted (root CN=Folioset Test Root)", true},
      {"a nested signature", osslSigned(stampedBook, "-nest -h sha512 -ts " + FTimeStampUrl),
       "yes, valid and trusted (root CN=Folioset Test Root)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.book);
    c.make(book);
    const TRun shown = Cli({"show", "--ca", Pki("ca.pem"), book});
    ASSERT_EQ(shown.Status, 0) << shown.Err;
    EXPECT_NE(shown.Out.find("Signed: " + c.judged), std::string::npos) << shown.Out;
    const TRun verified = Cli({"verify", "--ca", Pki("ca.pem"), book});
    EXPECT_EQ(verified.Status, c.verified ? 0 : 1) << verified.Out << verified.Err;
    const bool trusted = c.judged.find("yes, valid and trusted") == 0;
    EXPECT_EQ(OsslVerify(book).empty(), trusted) << "osslsigncode disagrees: " << OsslVerify(book);
  }
  // Against the system's roots the test root is unknown; a book without a signature passes
  // verify only when allowed.
  SaveStringToFile(stamped, book);
  EXPECT_NE(Cli({"show", book}).Out.find("Signed: yes, valid but not trusted: the root "
                                         "CN=Folioset Test Root is not trusted"),
            std::string::npos);
  const std::string unsignedBook = SampleAs("unsigned.exe");
  EXPECT_EQ(Cli({"verify", unsignedBook}).Out, unsignedBook + ": rejected: it is not signed\n");
  EXPECT_EQ(Cli({"verify", "--allow-unsigned", unsignedBook}).Status, 0);
  EXPECT_NE(Cli({"show", "--json", unsignedBook}).Out.find("\"signature\": null"),
            std::string::npos);
}

TEST_F(SigningTest, FailuresLeaveTheBookAsItWas) {
  const std::string book = CopySample("typical.exe");
  const std::string original = LoadFileToString(book);
  const std::vector<std::string> p12 = {"--sign-pkcs12", Pki("signer.p12"),
                                        "--sign-password-file", Pki("password")};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> arguments = {"brand", book};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  };
  const auto stamping = [&](const std::string& path) {
    return with({p12[0], p12[1], p12[2], p12[3], "--timestamp-ca", Pki("ca.pem"),
                 "--timestamp-timeout", "1", "--timestamp", FTimeStampUrl + path});
  };
  const struct {
    std::vector<std::string> arguments;
    std::string error;
    int status = 2; // refused before any write; 1: failed while writing
  } cases[] = {
      {with({"--sign-pkcs12", Pki("signer.p12"), "--sign-password-file", Pki("wrong_password")}),
       Pki("signer.p12") + ": the password is wrong"},
      {with({"--sign-cert", Pki("other_chain.pem"), "--sign-key", Pki("other_encrypted.key"),
             "--sign-password-file", Pki("wrong_password")}),
       Pki("other_encrypted.key") + ": the password is wrong"},
      {with({"--sign-cert", Pki("other_chain.pem"), "--sign-key", Pki("signer.key")}),
       "the private key does not belong to the certificate CN=Other Reseller"},
      {with({"--sign-cert", Pki("expired.pem"), "--sign-key", Pki("expired.key")}),
       "the certificate CN=Expired Reseller expired on"},
      {with({"--sign-cert", Pki("server.pem"), "--sign-key", Pki("server.key")}),
       "the certificate CN=Web Server is not meant for code signing"},
      {with({"--sign-pkcs12", Pki("ca.pem")}), Pki("ca.pem") + ": it is not a PKCS#12 file"},
      {with({"--sign-pkcs12", Pki("missing.p12")}), "No such file or directory"},
      {with({"--sign-pkcs12", Pki("signer.p12"), "--sign-password-file", Pki("missing")}),
       "No such file or directory"},
      // The password of a PEM key is asked from inside OpenSSL's reader.
      {with({"--sign-cert", Pki("other_chain.pem"), "--sign-key", Pki("other_encrypted.key"),
             "--sign-password-file", Pki("missing")}),
       Pki("missing") + ": Cannot open file"},
      {with({p12[0], p12[1], p12[2], p12[3], "--timestamp", "ftp://127.0.0.1:1/"}),
       "must be an http:// or https:// URL"},
      {with({p12[0], p12[1], p12[2], p12[3], "--timestamp", FTimeStampUrl, "--timestamp-ca",
             Pki("missing.pem")}),
       Pki("missing.pem") + ": it holds no PEM certificate"},
      // Found out only when the signature is made, after the new book is built: still
      // before it replaces the book.
      {stamping("refuse"), book + ": the time-stamp server " + FTimeStampUrl + "refuse: HTTP status 503", 1},
      {stamping("rogue"),
       "rogue: token not trusted: the time stamp's authority: the root "
       "CN=Rogue Time Stamps is not trusted",
       1},
      {stamping("corrupt"), "corrupt: a bad token: the time stamp's signature does not verify", 1},
      {stamping("page"), "page: not a time-stamp reply (text/html)", 1},
      {stamping("empty"), "empty: not a time-stamp reply", 1},
      {stamping("redirect"), "redirect: it redirects elsewhere", 1},
      {stamping("silent"), "silent: no answer within 1 s", 1},
      {with({p12[0], p12[1], p12[2], p12[3], "--timestamp", "http://127.0.0.1:1/"}),
       "the time-stamp server http://127.0.0.1:1/: connection refused",
       1},
      // The system's roots do not know the test authority.
      {with({p12[0], p12[1], p12[2], p12[3], "--timestamp", FTimeStampUrl}),
       "token not trusted: the time stamp's authority: ",
       1},
      {with({p12[0], p12[1], p12[2], p12[3], "--timestamp", FTlsTimeStampUrl}),
       "the TLS connection failed: ",
       1},
      {with({p12[0], p12[1], p12[2], p12[3], "--sign-url", "https://r\xc3\xa9seller.example"}),
       "the link given for the signature must be plain ASCII"},
  };
  for (const auto& c : cases) {
    const TRun run = Cli(c.arguments);
    EXPECT_EQ(run.Status, c.status) << c.error;
    EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
    const std::string error = run.Err.substr(run.Err.find("\nfolioset-cli: ") + 1);
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << "one line: " << run.Err;
    EXPECT_EQ(run.Err.find(Password), std::string::npos) << "no secret in an error";
    EXPECT_EQ(LoadFileToString(book), original);
  }
  const struct {
    std::vector<std::string> arguments;
    std::string error;
  } mistakes[] = {
      {with({"--sign-cert", Pki("signer.pem")}), "--sign-cert and --sign-key go together"},
      {with({"--sign-pkcs12", Pki("signer.p12"), "--sign-key", Pki("signer.key")}),
       "exclude each other"},
      {with({"--timestamp", "http://127.0.0.1:1/"}), "signing options need"},
      {with({p12[0], p12[1], "--timestamp", FTimeStampUrl, "--timestamp-timeout", "0"}),
       "--timestamp-timeout takes whole seconds from 1 to 86400, not 0"},
  };
  for (const auto& c : mistakes) {
    const TRun run = Cli(c.arguments);
    EXPECT_EQ(run.Status, 2) << c.error;
    EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
    EXPECT_EQ(LoadFileToString(book), original);
  }
  EXPECT_TRUE(TempFolderIsEmpty());
}

// Key stores of every kind a reseller is given sign a book osslsigncode accepts, and tell a
// wrong password.
TEST_F(SigningTest, EveryKindOfKeyStoreSigns) {
  const std::string book = CopySample("typical.exe");
  for (const char* store : {"legacy.p12", "nomac.p12"}) {
    SCOPED_TRACE(store);
    const TRun run = Cli({"brand", "--sign-pkcs12", Pki(store), "--sign-password-file",
                          Pki("password"), "--sign-digest", "sha512", book});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(OsslVerify(book), "");
    const TRun wrong = Cli({"brand", "--sign-pkcs12", Pki(store), "--sign-password-file",
                            Pki("wrong_password"), book});
    EXPECT_EQ(wrong.Err, "folioset-cli: " + Pki(store) + ": the password is wrong\n");
  }
}

// A signing service driven by a command, with RSA and ECDSA keys and each digest its key takes:
// the books verify; a command that signs with another key, or fails, leaves the book as it was.
TEST_F(SigningTest, ASigningCommandSigns) {
  const std::string book = CopySample("typical.exe");
  const std::string command = Quoted(std::string(FOLIOSET_SIGNING_TESTS) + "/sign_command.sh");
  const struct {
    const char* certificate;
    const char* key;
    const char* digest;
    std::string error; // empty: it signs
  } cases[] = {
      {"signer.pem", "signer.key", "sha256", ""},
      {"ecdsa.pem", "ecdsa.key", "sha256", ""},
      {"ecdsa.pem", "ecdsa.key", "sha384", ""},
      {"ecdsa.pem", "signer.key", "sha256",
       "the signing command's signature does not verify with the certificate "
       "CN=Example Reseller ECDSA"},
      {"signer.pem", "missing.key", "sha256", "the signing command failed (exit status 1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.digest);
    const std::string before = LoadFileToString(book);
    const TRun run = Cli({"brand", "--sign-cert", Pki(c.certificate), "--sign-chain",
                          Pki("ca.pem"), "--sign-command",
                          command + " " + Quoted(Pki(c.key)) + " 2>/dev/null", "--sign-digest",
                          c.digest, book});
    if (c.error.empty()) {
      ASSERT_EQ(run.Status, 0) << run.Err;
      EXPECT_EQ(OsslVerify(book), "");
    } else {
      EXPECT_EQ(run.Err, "folioset-cli: " + book + ": " + c.error + "\n");
      EXPECT_EQ(LoadFileToString(book), before);
    }
  }
  EXPECT_EQ(Cli({"brand", "--sign-command", "true", book}).Status, 2) << "needs --sign-cert";

  // A leaf without its intermediate signs with a warning naming it; --sign-chain adds it.
  const std::vector<std::string> other = {"brand", book, "--sign-cert", Pki("other.pem"),
                                          "--sign-key", Pki("other.key")};
  const TRun alone = Cli(other);
  EXPECT_EQ(alone.Status, 0);
  EXPECT_NE(alone.Err.find("warning: the signature's chain lacks CN=Folioset Test Intermediate, "
                           "the issuer of CN=Other Reseller"),
            std::string::npos)
      << alone.Err;
  std::vector<std::string> chained = other;
  chained.insert(chained.end(), {"--sign-chain", Pki("chain.pem")});
  const TRun whole = Cli(chained);
  EXPECT_EQ(whole.Status, 0);
  EXPECT_EQ(whole.Err, "");
  EXPECT_EQ(OsslVerify(book), "");
  EXPECT_EQ(Cli({"brand", "--sign-cert", Pki("signer.pem"), "--sign-digest", "md5", book}).Status,
            2);
}

// A key on a hardware token, here SoftHSM2 made for the run: RSA and ECDSA keys sign books
// osslsigncode accepts, the certificate read from the token or given as a PEM chain; every
// refusal is one line and leaves the book as it was.
TEST_F(SigningTest, AKeyOnATokenSigns) {
  const TRun made =
      Shell("bash " + Quoted(std::string(FOLIOSET_SIGNING_TESTS) + "/make_test_token.sh") + " " +
            Quoted(FPki));
  ASSERT_EQ(made.Status, 0) << made.Out;
  ::setenv("SOFTHSM2_CONF", Pki("softhsm2.conf").c_str(), 1);
  SaveStringToFile("1234\n", Pki("pin"));
  std::filesystem::permissions(Pki("pin"), std::filesystem::perms::owner_read);
  SaveStringToFile(LoadFileToString(Pki("ecdsa.pem")) + LoadFileToString(Pki("ca.pem")),
                   Pki("ecdsa_chain.pem"));
  const std::string token = "pkcs11:token=Folioset%20Test%20Token;";
  const std::string softHsm = "/usr/lib/softhsm/libsofthsm2.so";
  const std::string book = CopySample("typical.exe");
  const struct {
    std::vector<std::string> arguments;
    std::string error; // empty: it signs
  } cases[] = {
      {{"--sign-pkcs11", token + "object=signer", "--pkcs11-module", softHsm, "--sign-chain",
        Pki("ca.pem")},
       ""},
      {{"--sign-pkcs11", token + "object=ecdsa", "--pkcs11-module", softHsm, "--sign-chain",
        Pki("ca.pem"), "--sign-digest", "sha384"},
       ""},
      // p11-kit's proxy finds the token among the system's modules.
      {{"--sign-pkcs11", "pkcs11:id=%01", "--sign-chain", Pki("ca.pem")}, ""},
      {{"--sign-pkcs11", token + "object=ecdsa", "--pkcs11-module", softHsm, "--sign-cert",
        Pki("ecdsa_chain.pem")},
       ""},
      {{"--sign-pkcs11", token + "object=ecdsa", "--pkcs11-module", softHsm, "--sign-cert",
        Pki("signer.pem")},
       Pki("signer.pem") + ": the private key does not belong to the certificate"},
      {{"--sign-pkcs11", token + "object=signer", "--pkcs11-module", softHsm,
        "--sign-password-file", Pki("wrong_password")},
       token + "object=signer: the PIN is wrong"},
      {{"--sign-pkcs11", token + "object=other", "--pkcs11-module", softHsm},
       token + "object=other: the token Folioset Test Token holds no private key that matches it"},
      {{"--sign-pkcs11", token, "--pkcs11-module", softHsm},
       "2 private keys of the token Folioset Test Token match it; name one with object= or id="},
      {{"--sign-pkcs11", "pkcs11:token=Other;object=signer", "--pkcs11-module", softHsm},
       "no token of the module " + softHsm + " matches it"},
      {{"--sign-pkcs11", token + "object=signer?pin-value=1234", "--pkcs11-module", softHsm},
       "folioset-cli: a PKCS#11 URI may not hold the PIN"},
      {{"--sign-pkcs11", token + "object=signer", "--pkcs11-module", Pki("ca.pem")},
       Pki("ca.pem") + ": it cannot be loaded as a PKCS#11 module: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[1]);
    const std::string before = LoadFileToString(book);
    std::vector<std::string> arguments = {"brand", "--sign-password-file", Pki("pin"), book};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const TRun run = Cli(arguments);
    if (c.error.empty()) {
      ASSERT_EQ(run.Status, 0) << run.Err;
      EXPECT_EQ(OsslVerify(book), "");
    } else {
      EXPECT_EQ(run.Status, 2) << "refused before any write";
      EXPECT_NE(run.Err.find(c.error), std::string::npos) << run.Err;
      EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
      EXPECT_EQ(run.Err.find("1234"), std::string::npos) << "no PIN in an error";
      EXPECT_EQ(LoadFileToString(book), before);
    }
  }
  // The module is code to run: a manifest's entry that brings its own key drops the command
  // line's token and module rather than loading them for it.
  SaveStringToFile("{\"book\": \"" + book + "\", \"signCert\": \"" + Pki("ecdsa_chain.pem") +
                       "\", \"signKey\": \"" + Pki("ecdsa.key") + "\"}\n",
                   Pki("books.jsonl"));
  const TRun entry = Cli({"brand", "--manifest", Pki("books.jsonl"), "--sign-pkcs11",
                          token + "object=signer", "--pkcs11-module", Pki("ca.pem")});
  EXPECT_EQ(entry.Status, 0) << entry.Err;
  EXPECT_EQ(OsslVerify(book), "");
  EXPECT_EQ(Cli({"brand", "--pkcs11-module", softHsm, book}).Status, 2);
  EXPECT_EQ(Cli({"brand", "--sign-pkcs11", token, "--sign-key", Pki("ecdsa.key"), book}).Status, 2);
}

TEST_F(SigningTest, PasswordFromTheEnvironment) {
  const std::string book = CopySample("typical.exe");
  ::setenv("FOLIOSET_SIGN_PASSWORD", Password, 1);
  const TRun run = Cli({"brand", "--sign-pkcs12", Pki("signer.p12"), book});
  EXPECT_EQ(std::getenv("FOLIOSET_SIGN_PASSWORD"), nullptr) << "taken out of the environment";
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(OsslVerify(book), "");
}

// The secrets of a signing run stay the user's: the password leaves the process's environment
// at once, no core dump or other process reads a loaded key, and a key file others can read is
// named in a warning.
TEST_F(SigningTest, SecretsStayPrivate) {
  const std::string book = CopySample("typical.exe");
  // A run held waiting on a silent time-stamp server, its environment looked at meanwhile.
  std::filesystem::remove(Pki("silent"));
  const TRun started = Shell("FOLIOSET_SIGN_PASSWORD=" + std::string(Password) + " " +
                             Quoted(FOLIOSET_CLI) + " brand -q --sign-pkcs12 " +
                             Quoted(Pki("signer.p12")) + " --timestamp " + FTimeStampUrl +
                             "silent " + Quoted(book) + " >/dev/null 2>&1 & echo $!");
  const pid_t run = pid_t(std::atoi(started.Out.c_str()));
  ASSERT_GT(run, 0);
  while (!std::filesystem::exists(Pki("silent")))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::ifstream environ("/proc/" + std::to_string(run) + "/environ", std::ios::binary);
  const std::string environment((std::istreambuf_iterator<char>(environ)),
                                std::istreambuf_iterator<char>());
  ::kill(run, SIGINT);
  EXPECT_NE(environment.find("PATH="), std::string::npos) << "the environment was read";
  EXPECT_EQ(environment.find(Password), std::string::npos);

  {
    TSigningOptions options;
    options.Pkcs12File = Pki("signer.p12");
    const TCodeSigner signer(options, [] { return ReadSecretFile(Pki("password")); });
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0) << "while the key is loaded";
  }
  EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 1) << "once it is gone";

  std::filesystem::copy_file(Pki("signer.p12"), Pki("shared.p12"),
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(Pki("shared.p12"), std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  const TRun shared = Cli({"brand", "--sign-pkcs12", Pki("shared.p12"), "--sign-password-file",
                           Pki("password"), book});
  EXPECT_EQ(shared.Status, 0);
  EXPECT_EQ(shared.Err, "folioset-cli: " + Pki("shared.p12") +
                            ": warning: other users can read it; make it readable by you alone "
                            "(chmod 600)\n");
}

// The servers are asked in turn: one refused, one out of service, one over https answers.
TEST_F(SigningTest, TimeStampFromTheFirstServerThatGivesOne) {
  const std::string book = CopySample("typical.exe");
  const TRun run = SignWithPkcs12(
      book, {"--timestamp", "http://127.0.0.1:1/", "--timestamp", FTimeStampUrl + "refuse",
             "--timestamp", FTlsTimeStampUrl, "--timestamp-ca", Pki("ca.pem")});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(OsslVerify(book), "");
  const TImageSignature signature = SignatureOf(book);
  EXPECT_EQ(signature.State, TSignatureState::Trusted) << signature.Problem;
  EXPECT_EQ(signature.TimeStamp.State, TSignatureState::Trusted) << signature.TimeStamp.Problem;
  EXPECT_EQ(signature.TimeStamp.Authority, "CN=Folioset Test Time Stamps");
}

// Ctrl-C while a server keeps silent stops the wait at once (not after the time limit, which
// would end in an error rather than the stop), and the book stays as it was.
TEST_F(SigningTest, AStopEndsTheWaitForATimeStamp) {
  const std::string book = CopySample("typical.exe");
  const std::string original = LoadFileToString(book);
  std::filesystem::remove(Pki("silent"));
  std::thread interrupt([] {
    while (!std::filesystem::exists(Pki("silent")))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(::getpid(), SIGINT);
  });
  const TRun run = SignWithPkcs12(book, {"--timestamp", FTimeStampUrl + "silent",
                                         "--timestamp-ca", Pki("ca.pem")});
  interrupt.join();
  EXPECT_EQ(run.Status, 130) << run.Err;
  EXPECT_EQ(LoadFileToString(book), original);
}

TEST(SignatureFormat, EachRecordIsWrittenAndReadAsTheFormatLaysItOut) {
  ExpectRecord(TWinCertificateHeader{0x01020304, WinCertRevision2, WinCertTypePkcsSignedData},
               std::string_view("\x04\x03\x02\x01\0\x02\x02\0", WinCertHeaderSize),
               "WIN_CERTIFICATE wCertificateType");
  // The indirect data read back, lengths of the long form and all; cut short, or with an
  // indefinite length DER does not allow, it is refused.
  const std::string digest(200, 'd');
  const std::string der = IndirectDataDer("SHA256", digest);
  const TIndirectData read = ReadIndirectData(der);
  EXPECT_EQ(read.DigestName, "SHA256");
  EXPECT_EQ(read.Digest, digest);
  EXPECT_EQ(IndirectDataContentOctets(der), std::string_view(der).substr(3));
  std::string indefinite = der;
  indefinite[1] = '\x80';
  for (const std::string& damaged : {der.substr(0, der.size() - 1), indefinite}) {
    try {
      ReadIndirectData(damaged);
      ADD_FAILURE() << "damaged indirect data was read";
    } catch (const ESigningError& e) {
      EXPECT_NE(std::string(e.what()).find("indirect data is damaged"), std::string::npos)
          << e.what();
    }
  }
}

TEST(ImageDigestTest, RangesLeaveOutTheChecksumAndCertificateEntryAndCoverTheRest) {
  TImageHeaders headers;
  headers.NtOffset = 0x80;
  headers.SizeOfHeaders = 0x400;
  headers.DirectoryCount = 16;
  const uint64_t checkSum = headers.CheckSumOffset();
  const uint64_t entry = headers.DirectoryEntryOffset(ddSecurity);
  const auto section = [](uint32_t offset, uint32_t size) {
    TSectionHeader s;
    s.PointerToRawData = offset;
    s.SizeOfRawData = size;
    return s;
  };
  const struct {
    const char* layout;
    std::vector<TSectionHeader> sections;
    uint64_t end;
    std::vector<TImageRange> ranges;
    bool covers;
  } cases[] = {
      {"sections in table order, then bytes after the last",
       {section(0x400, 0x200), section(0x600, 0x200)},
       0x900,
       {{0, checkSum},
        {checkSum + 4, entry - checkSum - 4},
        {entry + 8, 0x400 - entry - 8},
        {0x400, 0x200},
        {0x600, 0x200},
        {0x800, 0x100}},
       true},
      {"sections hashed in file order, an empty one skipped",
       {section(0x600, 0x200), section(0, 0), section(0x400, 0x200)},
       0x800,
       {{0, checkSum},
        {checkSum + 4, entry - checkSum - 4},
        {entry + 8, 0x400 - entry - 8},
        {0x400, 0x200},
        {0x600, 0x200}},
       true},
      {"a gap between the sections",
       {section(0x400, 0x200), section(0x800, 0x200)},
       0xA00,
       {{0, checkSum},
        {checkSum + 4, entry - checkSum - 4},
        {entry + 8, 0x400 - entry - 8},
        {0x400, 0x200},
        {0x800, 0x200}},
       false},
      {"sections overlapping",
       {section(0x400, 0x300), section(0x600, 0x200)},
       0x800,
       {{0, checkSum},
        {checkSum + 4, entry - checkSum - 4},
        {entry + 8, 0x400 - entry - 8},
        {0x400, 0x300},
        {0x600, 0x200}},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    headers.Sections = c.sections;
    const std::vector<TImageRange> ranges = ImageDigestRanges(headers, c.end);
    EXPECT_EQ(ranges, c.ranges);
    EXPECT_EQ(RangesCoverImage(ranges, headers, c.end), c.covers);
  }
  headers.Sections = {section(0x400, 0x200)};
  EXPECT_THROW(ImageDigestRanges(headers, 0x500), ESigningError) << "a section past the end";
  headers.DirectoryCount = ddSecurity;
  EXPECT_THROW(ImageDigestRanges(headers, 0x600), ESigningError) << "no certificate entry";
}
