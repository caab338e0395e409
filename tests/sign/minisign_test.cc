#include "sign/minisign.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sodium.h>

#include "scoped_environment.h"
#include "sign/sign_password.h"
#include "sign/signature_error.h"
#include "temp_dir.h"

extern char** environ;

namespace halv {
namespace {

struct Outcome {
  int status = -1;     // the exit status; -1 when the program did not exit normally
  std::string output;  // standard output and standard error together
};

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A document with every byte value, so that no line or text handling can pass unnoticed.
std::string BinaryDocument(std::size_t size, int seed) {
  std::string document(size, '\0');
  for (std::size_t i = 0; i < size; ++i) document[i] = static_cast<char>(i * 31 + seed);
  return document;
}

template <typename Call>
SignatureFailure FailureOf(Call call) {
  try {
    call();
  } catch (const SignatureError& error) {
    return error.failure();
  }
  throw std::logic_error("no SignatureError");
}

// Runs the real minisign command in a private home; every key and signature path is given
// explicitly, so nothing is read from or written to ~/.minisign.
class MinisignTest : public ::testing::Test {
 protected:
  // Runs minisign with `arguments`, its standard input read from `input`.
  Outcome Minisign(const std::vector<std::string>& arguments, const std::string& input = "") {
    const std::string in = root_.Child("stdin");
    const std::string out = root_.Child("stdout");
    WriteFile(in, input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> words = {HALV_MINISIGN};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, HALV_MINISIGN, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Outcome outcome;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << HALV_MINISIGN;
      return outcome;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    outcome.output = test::ReadFile(out);
    return outcome;
  }

  // Makes a key pair NAME.pub / NAME.key; encrypted with `password` unless it is empty.
  void MakeKeys(const std::string& name, const std::string& password = "") {
    std::vector<std::string> arguments = {"-G", "-p", Pub(name), "-s", Key(name)};
    if (password.empty()) arguments.push_back("-W");
    const Outcome outcome = Minisign(arguments, password + "\n" + password + "\n");
    ASSERT_EQ(outcome.status, 0) << outcome.output;
  }

  // Signs the file at `path` with minisign into `path`.minisig.
  void MinisignSigns(const std::string& key, const std::string& path,
                     const std::string& trustedComment, bool legacy = false) {
    std::vector<std::string> arguments = {"-S", "-s", Key(key), "-m", path, "-t", trustedComment};
    if (legacy) arguments.push_back("-l");
    const Outcome outcome = Minisign(arguments);
    ASSERT_EQ(outcome.status, 0) << outcome.output;
  }

  Outcome MinisignVerifies(const std::string& key, const std::string& path,
                           const std::string& signature) {
    return Minisign({"-V", "-H", "-p", Pub(key), "-m", path, "-x", signature});
  }

  std::string Pub(const std::string& name) const { return root_.Child(name + ".pub"); }
  std::string Key(const std::string& name) const { return root_.Child(name + ".key"); }
  std::string Path(const std::string& name) const { return root_.Child(name); }

  static std::string NoPassword() {
    ADD_FAILURE() << "asked for the password of an unencrypted key";
    return "";
  }

  test::TempDir root_;
  test::ScopedEnvironmentVariable home_{"HOME", root_.path()};
  test::ScopedEnvironmentVariable dataHome_{"XDG_DATA_HOME", root_.Child("data")};
  test::ScopedEnvironmentVariable stateHome_{"XDG_STATE_HOME", root_.Child("state")};
  test::ScopedEnvironmentVariable cacheHome_{"XDG_CACHE_HOME", root_.Child("cache")};
  test::ScopedEnvironmentVariable password_{kSignPasswordVariable, std::nullopt};
};

TEST(MinisignKeyIdTest, PrintsAsMinisignDoes) {
  const std::vector<std::pair<MinisignKeyId, std::string>> cases = {
      {{0x73, 0xce, 0x8c, 0x4a, 0xcb, 0x6f, 0x72, 0xea}, "EA726FCB4A8CCE73"},
      {{0x8f, 0xab, 0x64, 0xc2, 0xe2, 0x1e, 0x79, 0x0d}, "D791EE2C264AB8F"},
      {{0x01, 0, 0, 0, 0, 0, 0, 0}, "1"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "0"},
  };
  for (const auto& [id, text] : cases) EXPECT_EQ(FormatKeyId(id), text);
}

TEST_F(MinisignTest, VerifiesWhatMinisignSignsInBothForms) {
  MakeKeys("publisher");
  const MinisignPublicKey key = ReadMinisignPublicKeyFile(Pub("publisher"));
  // The key file names the id as minisign prints it, and its base64 line alone is the same key.
  const std::string keyFile = test::ReadFile(Pub("publisher"));
  EXPECT_EQ(keyFile, key.ToFile());
  EXPECT_EQ(ParseMinisignPublicKey(key.ToBase64()).key, key.key);
  EXPECT_NE(keyFile.find("minisign public key " + FormatKeyId(key.keyId) + "\n"),
            std::string::npos);

  for (const bool legacy : {false, true}) {
    for (const std::size_t size : {0, 1, 4096, 300001}) {
      SCOPED_TRACE((legacy ? "legacy, " : "prehashed, ") + std::to_string(size) + " bytes");
      const std::string document = BinaryDocument(size, static_cast<int>(size));
      WriteFile(Path("document"), document);
      const std::string comment =
          "halvane-publication kind=nodes partner=a time=" + std::to_string(size) +
          " \xc3\xa9 tab\there";
      MinisignSigns("publisher", Path("document"), comment, legacy);
      const std::string signature = test::ReadFile(Path("document.minisig"));
      EXPECT_EQ(ParseMinisignSignature(signature).algorithm,
                legacy ? MinisignAlgorithm::kLegacy : MinisignAlgorithm::kPrehashed);
      EXPECT_EQ(VerifyMinisign(document, signature, key), comment);
    }
  }
}

TEST_F(MinisignTest, MinisignVerifiesWhatTheLibrarySigns) {
  MakeKeys("publisher");
  const MinisignSecretKey secret = ReadMinisignSecretKeyFile(Key("publisher"), NoPassword);
  const MinisignPublicKey key = ReadMinisignPublicKeyFile(Pub("publisher"));
  EXPECT_EQ(secret.keyId(), key.keyId);
  EXPECT_EQ(secret.publicKey().key, key.key);

  for (const std::size_t size : {0, 1, 65537}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    const std::string document = BinaryDocument(size, 3);
    const std::string comment =
        "halvane-publication kind=package package=p version=" + std::to_string(size) +
        " time=1700000000";
    WriteFile(Path("document"), document);
    WriteFile(Path("document.minisig"), secret.Sign(document, comment, "from the test"));
    const Outcome outcome =
        MinisignVerifies("publisher", Path("document"), Path("document.minisig"));
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("Trusted comment: " + comment + "\n"), std::string::npos)
        << outcome.output;
    EXPECT_EQ(VerifyMinisign(document, test::ReadFile(Path("document.minisig")), key), comment);

    // And minisign refuses it for a document changed by one byte.
    WriteFile(Path("document"), document + "x");
    EXPECT_NE(MinisignVerifies("publisher", Path("document"), Path("document.minisig")).status, 0);
  }
}

TEST_F(MinisignTest, DecryptsAnEncryptedKeyWithItsPasswordOnly) {
  // One key for every case: each decryption runs minisign's scrypt, seconds and 1 GiB of memory.
  const std::string password = "correct horse \xc3\xa9";
  MakeKeys("locked", password);
  const MinisignPublicKey key = ReadMinisignPublicKeyFile(Pub("locked"));
  const std::string document = "signed with a key that had a password";
  WriteFile(Path("document"), document);

  int asked = 0;
  const MinisignSecretKey fromSource = ReadMinisignSecretKeyFile(Key("locked"), [&] {
    ++asked;
    return password;
  });
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(fromSource.keyId(), key.keyId);
  EXPECT_EQ(fromSource.publicKey().key, key.key);
  WriteFile(Path("document.minisig"), fromSource.Sign(document, "first"));
  const Outcome outcome = MinisignVerifies("locked", Path("document"), Path("document.minisig"));
  EXPECT_EQ(outcome.status, 0) << outcome.output;

  try {
    ReadMinisignSecretKeyFile(Key("locked"), [&] { return password + "x"; });
    ADD_FAILURE() << "decrypted with the wrong password";
  } catch (const SignatureError& error) {
    EXPECT_EQ(error.failure(), SignatureFailure::kWrongPassword);
    EXPECT_EQ(std::string(error.what()),
              Key("locked") +
                  ": the password does not decrypt the secret key, or the key is "
                  "damaged");
  }
}

TEST_F(MinisignTest, ThePasswordVariableIsTakenAsItIsEvenEmpty) {
  for (const std::string& value : {std::string("p\xc3\xa9 ss"), std::string()}) {
    test::ScopedEnvironmentVariable variable(kSignPasswordVariable, value);
    EXPECT_EQ(PasswordFromEnvironmentOrTerminal(), value);
  }
}

TEST_F(MinisignTest, WithoutTheVariableOrATerminalThereIsNoPassword) {
  // The child leaves the controlling terminal, so that a run from a shell cannot wait for typing.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();
    try {
      PasswordFromEnvironmentOrTerminal();
    } catch (const SignatureError& error) {
      const bool named = std::string(error.what()).find(kSignPasswordVariable) != std::string::npos;
      _exit(error.failure() == SignatureFailure::kNoPassword && named ? 0 : 2);
    }
    _exit(1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(MinisignTest, RefusesForgedTamperedAndMisplacedSignatures) {
  MakeKeys("publisher");
  MakeKeys("stranger");
  const MinisignPublicKey key = ReadMinisignPublicKeyFile(Pub("publisher"));
  const MinisignPublicKey stranger = ReadMinisignPublicKeyFile(Pub("stranger"));
  // The stranger's key under the publisher's id: only the signature check can tell.
  MinisignPublicKey impostor = stranger;
  impostor.keyId = key.keyId;

  const std::string document = BinaryDocument(5000, 1);
  const std::string other = BinaryDocument(5000, 2);
  WriteFile(Path("document"), document);
  WriteFile(Path("other"), other);
  const std::string comment = "halvane-publication kind=nodes partner=a time=1";
  const auto signs = [&](const std::string& signer, const std::string& name, bool legacy) {
    MinisignSigns(signer, Path(name), legacy ? "legacy" : comment, legacy);
    return test::ReadFile(Path(name + ".minisig"));
  };
  const std::string good = signs("publisher", "document", false);
  const std::string otherSignature = signs("publisher", "other", false);
  const std::string strangers = signs("stranger", "document", false);
  const std::string legacy = signs("publisher", "document", true);
  ASSERT_EQ(VerifyMinisign(document, good, key), comment);

  const auto line = [](const std::string& text, int index) {
    std::size_t begin = 0;
    for (int i = 0; i < index; ++i) begin = text.find('\n', begin) + 1;
    return text.substr(begin, text.find('\n', begin) - begin);
  };
  const auto lines = [](std::vector<std::string> parts) {
    std::string text;
    for (const std::string& part : parts) text += part + "\n";
    return text;
  };
  std::string changedDocument = document;
  changedDocument[2500] ^= 1;
  std::string changedLegacyDocument = document;
  changedLegacyDocument[0] ^= 0x80;

  struct Case {
    const char* what;
    std::string document;
    std::string signature;
    std::vector<MinisignPublicKey> keys;
    std::optional<SignatureFailure> failure;  // none: accepted
  };
  const std::vector<Case> cases = {
      {"one byte of the document changed",
       changedDocument,
       good,
       {key},
       SignatureFailure::kBadSignature},
      {"a legacy signature, document changed",
       changedLegacyDocument,
       legacy,
       {key},
       SignatureFailure::kBadSignature},
      {"the document cut short",
       document.substr(0, 4999),
       good,
       {key},
       SignatureFailure::kBadSignature},
      {"the signature of another document",
       document,
       otherSignature,
       {key},
       SignatureFailure::kBadSignature},
      {"signed by another key", document, strangers, {key}, SignatureFailure::kUnknownKey},
      {"no trusted key", document, good, {}, SignatureFailure::kUnknownKey},
      {"another key under the publisher's id",
       document,
       good,
       {impostor},
       SignatureFailure::kBadSignature},
      {"the trusted comment changed",
       document,
       lines({line(good, 0), line(good, 1), "trusted comment: " + comment + " ", line(good, 3)}),
       {key},
       SignatureFailure::kBadComment},
      {"the trusted comment of another signature",
       document,
       lines({line(good, 0), line(good, 1), line(otherSignature, 2), line(otherSignature, 3)}),
       {key},
       SignatureFailure::kBadComment},
      {"the untrusted comment is free to change",
       document,
       lines({"untrusted comment: anything", line(good, 1), line(good, 2), line(good, 3)}),
       {stranger, key},
       std::nullopt},
      {"CR LF endings, no last newline",
       document,
       line(good, 0) + "\r\n" + line(good, 1) + "\r\n" + line(good, 2) + "\r\n" + line(good, 3),
       {key},
       std::nullopt},
      {"empty file", document, "", {key}, SignatureFailure::kMalformed},
      {"two lines",
       document,
       lines({line(good, 0), line(good, 1)}),
       {key},
       SignatureFailure::kMalformed},
      {"five lines", document, good + "more\n", {key}, SignatureFailure::kMalformed},
      {"signature line cut short",
       document,
       lines({line(good, 0), line(good, 1).substr(0, 60), line(good, 2), line(good, 3)}),
       {key},
       SignatureFailure::kMalformed},
      {"global signature cut short",
       document,
       lines({line(good, 0), line(good, 1), line(good, 2), line(good, 3).substr(0, 84)}),
       {key},
       SignatureFailure::kMalformed},
      {"not base64",
       document,
       lines({line(good, 0), "!" + line(good, 1).substr(1), line(good, 2), line(good, 3)}),
       {key},
       SignatureFailure::kMalformed},
      {"unknown algorithm",
       document,
       lines({line(good, 0), "RX" + line(good, 1).substr(2), line(good, 2), line(good, 3)}),
       {key},
       SignatureFailure::kMalformed},
      {"no untrusted comment prefix",
       document,
       lines({"comment: x", line(good, 1), line(good, 2), line(good, 3)}),
       {key},
       SignatureFailure::kMalformed},
      {"no trusted comment prefix",
       document,
       lines({line(good, 0), line(good, 1), line(good, 2).substr(8), line(good, 3)}),
       {key},
       SignatureFailure::kMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.failure) {
      EXPECT_EQ(FailureOf([&] { VerifyMinisign(c.document, c.signature, c.keys); }), *c.failure);
    } else {
      EXPECT_EQ(VerifyMinisign(c.document, c.signature, c.keys), comment);
    }
  }
}

TEST_F(MinisignTest, RefusesMalformedAndUnreadableKeys) {
  MakeKeys("publisher");
  const std::string publicFile = test::ReadFile(Pub("publisher"));
  const std::string secretFile = test::ReadFile(Key("publisher"));
  const std::string publicLine = publicFile.substr(publicFile.find('\n') + 1, 56);
  const std::string secretComment = secretFile.substr(0, secretFile.find('\n') + 1);
  const std::string secretLine = secretFile.substr(secretComment.size(), 212);
  ASSERT_EQ(secretComment + secretLine + "\n", secretFile);

  // Re-encodes the secret key with one byte changed.
  const auto changedSecret = [&](std::size_t offset, unsigned char value) {
    std::vector<unsigned char> bytes(158);
    std::size_t size = 0;
    EXPECT_EQ(sodium_base642bin(bytes.data(), bytes.size(), secretLine.data(), secretLine.size(),
                                nullptr, &size, nullptr, sodium_base64_VARIANT_ORIGINAL),
              0);
    bytes[offset] = value;
    std::string text(sodium_base64_ENCODED_LEN(158, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();
    return secretComment + text + "\n";
  };

  const std::vector<std::pair<const char*, std::string>> publicKeys = {
      {"empty", ""},
      {"three lines", publicFile + "x\n"},
      {"no comment prefix", "comment\n" + publicLine + "\n"},
      {"cut short", publicLine.substr(0, 52)},
      {"too long", publicLine + "AAAA"},
      {"not base64", "*" + publicLine.substr(1)},
      {"not Ed25519", "RX" + publicLine.substr(2)},
  };
  for (const auto& [what, text] : publicKeys) {
    EXPECT_EQ(FailureOf([&] { ParseMinisignPublicKey(text); }), SignatureFailure::kMalformed)
        << what;
  }

  const std::vector<std::pair<const char*, std::string>> secretKeys = {
      {"empty", ""},
      {"the line alone", secretLine},
      {"cut short", secretComment + secretLine.substr(0, 200) + "\n"},
      {"not Ed25519", changedSecret(1, 'X')},
      {"unknown encryption", changedSecret(2, 'X')},
      {"unknown checksum", changedSecret(4, 'X')},
      {"seed damaged", changedSecret(54 + 8 + 3, 0x55)},
      {"public half damaged", changedSecret(54 + 8 + 40, 0x55)},
      {"checksum damaged", changedSecret(54 + 8 + 64, 0x55)},
  };
  for (const auto& [what, text] : secretKeys) {
    EXPECT_EQ(FailureOf([&] { ParseMinisignSecretKey(text, NoPassword); }),
              SignatureFailure::kMalformed)
        << what;
  }

  for (const std::string& path : {Path("missing.pub"), root_.path()}) {
    EXPECT_EQ(FailureOf([&] { ReadMinisignPublicKeyFile(path); }), SignatureFailure::kUnreadable);
    EXPECT_EQ(FailureOf([&] { ReadMinisignSecretKeyFile(path, NoPassword); }),
              SignatureFailure::kUnreadable);
  }
  WriteFile(Path("bad.pub"), "nonsense\n");
  try {
    ReadMinisignPublicKeyFile(Path("bad.pub"));
    ADD_FAILURE() << "accepted";
  } catch (const SignatureError& error) {
    EXPECT_EQ(std::string(error.what()).rfind(Path("bad.pub") + ": ", 0), 0u) << error.what();
  }
}

TEST_F(MinisignTest, SignRefusesCommentsMinisignCannotReadBack) {
  MakeKeys("publisher");
  const MinisignSecretKey secret = ReadMinisignSecretKeyFile(Key("publisher"), NoPassword);
  for (const std::string& comment : {std::string("two\nlines"), std::string("cr\r"),
                                     std::string("nul\0x", 5), std::string(8001, 'c')}) {
    EXPECT_THROW(secret.Sign("d", comment), std::invalid_argument);
    EXPECT_THROW(secret.Sign("d", "fine", comment), std::invalid_argument);
  }
  EXPECT_THROW(secret.Sign("d", "fine", std::string(1001, 'c')), std::invalid_argument);
  EXPECT_EQ(VerifyMinisign("d", secret.Sign("d", std::string(8000, 'c')), secret.publicKey()),
            std::string(8000, 'c'));
}

}  // namespace
}  // namespace halv
