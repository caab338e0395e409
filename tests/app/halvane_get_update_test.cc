// Updates by halvane-get against nginx on loopback: a new version downloaded into the folder of
// an old one fetches only what the old files do not hold, wherever it moved, and every file ends
// as the new version's, whatever the block indexes claim.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "nginx_site.h"
#include "scoped_environment.h"
#include "sign/sha256.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::PseudoRandomBytes;
using test::ReadFile;

// Body bytes the nodes sent for files (and the block file) of `version`, from their access
// logs ('"GET /packages/R/app/VERSION/PATH HTTP/1.1" STATUS BYTES ...').
std::uint64_t BytesSentFor(const test::NginxSite& site, const std::string& version) {
  std::uint64_t bytes = 0;
  for (const std::string& request : site.FileRequests()) {
    const std::string prefix = "\"GET /packages/R/app/";
    const std::size_t at = request.find(prefix);
    if (at == std::string::npos) continue;
    const std::size_t start = at + prefix.size();
    const std::string first = request.substr(start, request.find_first_of("/ ", start) - start);
    if (first != version && first != "." + version + ".blocks") continue;
    // After the request's closing quote: the status, then the body's bytes.
    std::istringstream rest(request.substr(request.find('"', start) + 1));
    int status = 0;
    std::uint64_t sent = 0;
    if (rest >> status >> sent) bytes += sent;
  }
  return bytes;
}

// Where a file's block index lies, as its document says.
struct Place {
  std::size_t at = 0;
  std::size_t length = 0;
  std::string sha256;
};

// The text of element `name` in `document` after `from`.
std::string ElementAfter(const std::string& document, std::size_t from, const std::string& name) {
  const std::size_t open = document.find("<" + name + ">", from);
  if (open == std::string::npos) return std::string();
  const std::size_t start = open + name.size() + 2;
  return document.substr(start, document.find("</" + name + ">", start) - start);
}

Place PlaceOf(const std::string& document, const std::string& path) {
  const std::size_t file = document.find("<file><path>" + path + "</path>");
  if (file == std::string::npos) {
    ADD_FAILURE() << "no file " << path;
    return Place();
  }
  const std::size_t size = std::stoull(ElementAfter(document, file, "size"));
  const std::size_t block = std::stoull(ElementAfter(document, file, "blocksize"));
  return Place{std::stoull(ElementAfter(document, file, "blockat")),
               (size + block - 1) / block * 12, ElementAfter(document, file, "blocksha256")};
}

class HalvaneGetUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    // Version 7.
    old_ = PseudoRandomBytes(200000, 1);
    moved_ = PseudoRandomBytes(60000, 2);
    notes_ = PseudoRandomBytes(30000, 3);
    test::WriteFile(temp_.Child("v7/lib/big"), old_);
    test::WriteFile(temp_.Child("v7/lib/old-name"), moved_);
    test::WriteFile(temp_.Child("v7/doc/notes"), notes_);
    // Version 8: 3000 new bytes inserted into big, old-name renamed with 100 bytes cut out of
    // its middle, and a new file made of the two halves of notes, swapped.
    newBig_ = old_.substr(0, 50000) + PseudoRandomBytes(3000, 4) + old_.substr(50000);
    renamed_ = moved_.substr(0, 30000) + moved_.substr(30100);
    swapped_ = notes_.substr(15000) + notes_.substr(0, 15000);
    test::WriteFile(temp_.Child("v8/lib/big"), newBig_);
    test::WriteFile(temp_.Child("v8/lib/new-name"), renamed_);
    test::WriteFile(temp_.Child("v8/doc/notes"), notes_);
    test::WriteFile(temp_.Child("v8/doc/swapped"), swapped_);
    fs::create_directories(temp_.Child("home"));
  }

  int Get(const test::NginxSite& site, const std::string& version, const std::string& dest,
          std::string& errors) {
    std::string command;
    for (const std::string& variable : test::SanitizerEnvironment()) command += variable + " ";
    command += "HOME=" + temp_.Child("home") + " XDG_CACHE_HOME=" + temp_.Child("home/cache") +
               " XDG_DATA_HOME=" + temp_.Child("home/data") +
               " XDG_STATE_HOME=" + temp_.Child("home/state") +
               " HALV_ANALYTICS_URL= " + HALV_GET_BINARY + " --host " + site.ManifestHost() +
               " --partner R --package app --package-version " + version + " --dest " + dest +
               " >/dev/null 2>" + temp_.Child("errors");
    const int status = std::system(command.c_str());
    errors = ReadFile(temp_.Child("errors"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void ExpectVersion8(const std::string& dest) {
    EXPECT_EQ(ReadFile(dest + "/lib/big"), newBig_);
    EXPECT_EQ(ReadFile(dest + "/lib/new-name"), renamed_);
    EXPECT_EQ(ReadFile(dest + "/doc/notes"), notes_);
    EXPECT_EQ(ReadFile(dest + "/doc/swapped"), swapped_);
    EXPECT_FALSE(fs::exists(dest + "/lib/big.halvane-part"));
  }

  test::TempDir temp_;
  std::string old_, moved_, notes_, newBig_, renamed_, swapped_;
};

TEST_F(HalvaneGetUpdateTest, FetchesOnlyWhatTheOldFilesDoNotHoldWhereverItMoved) {
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2);
  site.Add(temp_.Child("v7"), "R", "app", "7", "--chunk-size 65536");
  site.Add(temp_.Child("v8"), "R", "app", "8", "--chunk-size 65536");
  site.Serve();
  const std::string dest = temp_.Child("dest");
  std::string errors;
  ASSERT_EQ(Get(site, "7", dest, errors), 0) << errors;
  // A user's second name of a file the update replaces: it keeps the old bytes, since the old
  // file is only read, never written, until its verified replacement is renamed over it.
  ASSERT_EQ(::link((dest + "/lib/big").c_str(), temp_.Child("users-copy").c_str()), 0);

  ASSERT_EQ(Get(site, "8", dest, errors), 0) << errors;
  ExpectVersion8(dest);
  EXPECT_EQ(ReadFile(temp_.Child("users-copy")), old_);
  // 3000 inserted bytes, 100 cut, the swap's seam, the blocks around each, and the indexes: a
  // small part of the 323,000 bytes of version 8, of which 30,000 are unchanged in place.
  const std::uint64_t sent = BytesSentFor(site, "8");
  EXPECT_LE(sent, 12000u) << errors;
  EXPECT_NE(errors.find("reusing"), std::string::npos) << errors;

  // A fresh download of the same version fetches it all, and no index.
  const std::string fresh = temp_.Child("fresh");
  ASSERT_EQ(Get(site, "8", fresh, errors), 0) << errors;
  ExpectVersion8(fresh);
  EXPECT_EQ(BytesSentFor(site, "8") - sent,
            newBig_.size() + renamed_.size() + notes_.size() + swapped_.size());
}

TEST_F(HalvaneGetUpdateTest, AnIndexThatIsNotTheDocumentsOrClaimsWrongBlocksCostsOnlyBytes) {
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 1);
  site.Add(temp_.Child("v7"), "R", "app", "7", "--chunk-size 65536");
  site.Add(temp_.Child("v8"), "R", "app", "8", "--chunk-size 65536");
  site.Serve();
  const std::string blocks = temp_.Child("site/www/packages/R/app/.8.blocks");
  const std::string document = temp_.Child("site/www/manifests/app/8.xml");
  ASSERT_TRUE(fs::exists(blocks));
  const std::string good = ReadFile(blocks);

  // (a) The served index differs from the one the document names: it is not used at all.
  std::string forged = good;
  for (std::size_t i = 0; i < forged.size(); i += 7) forged[i] = static_cast<char>(~forged[i]);
  test::WriteFile(blocks, forged);
  std::string errors;
  const std::string first = temp_.Child("first");
  ASSERT_EQ(Get(site, "7", first, errors), 0) << errors;
  ASSERT_EQ(Get(site, "8", first, errors), 0) << errors;
  ExpectVersion8(first);

  // (b) An index that the document names (an unsigned one can be rewritten by whoever serves it)
  // but whose blocks of lib/big claim to be the old file's blocks at the same places: what is
  // built from it fails its chunks' checks past the unchanged start, and those chunks are
  // fetched whole.
  const Place newBig = PlaceOf(ReadFile(document), "lib/big");
  const Place oldBig = PlaceOf(ReadFile(temp_.Child("site/www/manifests/app/7.xml")), "lib/big");
  std::string claims = good;
  claims.replace(
      newBig.at, oldBig.length,
      ReadFile(temp_.Child("site/www/packages/R/app/.7.blocks")).substr(oldBig.at, oldBig.length));
  test::WriteFile(blocks, claims);
  std::string text = ReadFile(document);
  text.replace(text.find(newBig.sha256), 64,
               Sha256Hex(Sha256(std::string_view(claims).substr(newBig.at, newBig.length))));
  test::WriteFile(document, text);
  const std::string second = temp_.Child("second");
  ASSERT_EQ(Get(site, "7", second, errors), 0) << errors;
  ASSERT_EQ(Get(site, "8", second, errors), 0) << errors;
  ExpectVersion8(second);
}

}  // namespace
}  // namespace halv
