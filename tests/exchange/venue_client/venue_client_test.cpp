// pelvarine-client on small synthetic Windows images (two sections, the second the venue slot): what it
// refuses and that a refusal leaves nothing behind, the checksum, and signing through osslsigncode.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/venue_slot.h"
#include "exchange/venue_client/pe_image.h"
#include "exchange/venue_client/venue_client_command.h"
#include "tests/exchange/daemon/temp_folder.h"

namespace venue_client {
namespace {

namespace venue = pelvarine::venue;
using exchange::testing::TempFolder;

void Put(std::string* image, size_t at, uint32_t value, int size) {
  for (int i = 0; i < size; ++i)
    (*image)[at + i] = static_cast<char>(value >> (8 * i));
}

// A PE32 (or PE32+) image whose section ".venue" at 0x400 holds `slot`.
std::string SyntheticClient(const venue::Slot& slot, bool pe32_plus = false, const char* name = ".venue") {
  std::string image(0x600, '\0');
  image.replace(0, 2, "MZ");
  Put(&image, 0x3C, 0x80, 4);
  image.replace(0x80, 4, std::string("PE\0\0", 4));
  size_t optional_size = pe32_plus ? 240 : 224;
  Put(&image, 0x86, 2, 2);                            // sections
  Put(&image, 0x94, uint32_t(optional_size), 2);      // optional header size
  Put(&image, 0x98, pe32_plus ? 0x20B : 0x10B, 2);    // magic
  Put(&image, 0x98 + (pe32_plus ? 108 : 92), 16, 4);  // data directories
  size_t table = 0x98 + optional_size;
  const char* names[] = {".text", name};
  for (int i = 0; i < 2; ++i) {
    image.replace(table + 40 * i, std::string(names[i]).size(), names[i]);
    Put(&image, table + 40 * i + 8, 0x200, 4);             // virtual size
    Put(&image, table + 40 * i + 16, 0x200, 4);            // raw size
    Put(&image, table + 40 * i + 20, 0x200 * (i + 1), 4);  // raw offset
  }
  image.replace(0x400, sizeof slot.bytes, reinterpret_cast<const char*>(slot.bytes), sizeof slot.bytes);
  return image;
}

venue::Slot DefaultSlot() {
  return venue::MakeSlot("127.0.0.1", "www.halvenor.example");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t FolderEntries(const std::string& path) {
  size_t n = 0;
  DIR* dir = opendir(path.c_str());
  while (dir && readdir(dir))
    ++n;
  if (dir) closedir(dir);
  return n - 2;
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome RunCommand(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = RunVenueClientCommand(args, out, err);
  return {status, out.str(), err.str()};
}

TEST(VenueClientTest, RefusesWhatCannotBeWrittenAndLeavesNothingBehind) {
  venue::Slot damaged = DefaultSlot();
  damaged.bytes[venue::kAddressOffset] = '2';
  venue::Slot other_version = DefaultSlot();
  other_version.bytes[venue::kVersionOffset] = 2;
  venue::Slot unmarked = DefaultSlot();
  unmarked.bytes[0] = 'X';
  std::string signed_client = SyntheticClient(DefaultSlot());
  Put(&signed_client, 0x98 + 96 + 8 * 4 + 4, 0x100, 4);
  std::string cut_short = SyntheticClient(DefaultSlot());
  cut_short.resize(0x400 + venue::kSlotSize - 1);
  std::string long_name(60, 'a');
  long_name += ".com";

  struct Case {
    const char* what;
    std::string input;  // the input's bytes
    std::vector<std::string> options;
    std::string output;  // relative to the folder
    const char* says;
  } cases[] = {
      {"address out of range",
       SyntheticClient(DefaultSlot()),
       {"--address", "999.1.2.3"},
       "o.exe",
       "not IPv4"},
      {"three numbers", SyntheticClient(DefaultSlot()), {"--address", "10.1.2"}, "o.exe", "not IPv4"},
      {"leading zero (octal)",
       SyntheticClient(DefaultSlot()),
       {"--address", "010.1.2.3"},
       "o.exe",
       "leading"},
      {"empty label",
       SyntheticClient(DefaultSlot()),
       {"--address", "venue..example"},
       "o.exe",
       "empty label"},
      {"hyphen at a label's end", SyntheticClient(DefaultSlot()), {"--address", "venue-.cn"}, "o.exe", "'-'"},
      {"command-line text",
       SyntheticClient(DefaultSlot()),
       {"--address", "a.cn & calc"},
       "o.exe",
       "character"},
      {"too long for the slot", SyntheticClient(DefaultSlot()), {"--address", long_name}, "o.exe", "63"},
      {"home page with a path",
       SyntheticClient(DefaultSlot()),
       {"--home-page", "a.cn/x"},
       "o.exe",
       "home-page"},
      {"empty address", SyntheticClient(DefaultSlot()), {"--address", ""}, "o.exe", "empty"},
      {"not a program", "#!/bin/sh\n", {"--address", "a.cn"}, "o.exe", "not a Windows program"},
      {"no venue slot",
       SyntheticClient(DefaultSlot(), false, ".data"),
       {"--address", "a.cn"},
       "o.exe",
       "not a Pelvarine client"},
      {"slot cut short", cut_short, {"--address", "a.cn"}, "o.exe", "cut short"},
      {"slot without marker", SyntheticClient(unmarked), {"--address", "a.cn"}, "o.exe", "marker"},
      {"damaged slot", SyntheticClient(damaged), {"--address", "a.cn"}, "o.exe", "damaged"},
      {"another layout", SyntheticClient(other_version), {"--address", "a.cn"}, "o.exe", "version"},
      {"signed input", signed_client, {"--address", "a.cn"}, "o.exe", "signed"},
      {"missing folder", SyntheticClient(DefaultSlot()), {"--address", "a.cn"}, "none/o.exe", "cannot write"},
      {"folder is a file",
       SyntheticClient(DefaultSlot()),
       {"--address", "a.cn"},
       "in.exe/o.exe",
       "cannot write"},
      {"output is a folder", SyntheticClient(DefaultSlot()), {"--address", "a.cn"}, "sub", "cannot write"},
      {"output is the input",
       SyntheticClient(DefaultSlot()),
       {"--address", "a.cn"},
       "in.exe",
       "is the input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    std::string input = folder.Write("in.exe", c.input);
    std::string sub = folder.path() + "/sub";
    mkdir(sub.c_str(), 0700);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--output", folder.path() + "/" + c.output, input});
    Outcome o = RunCommand(args);
    rmdir(sub.c_str());
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(ReadFile(input), c.input) << "the input changed";
    EXPECT_EQ(FolderEntries(folder.path()), 1u) << "a refusal left a file beside the input";
  }
}

TEST(VenueClientTest, StampsACopyThatShowsItsSettingsWithTheChecksumRight) {
  for (bool pe32_plus : {false, true}) {
    SCOPED_TRACE(pe32_plus ? "PE32+" : "PE32");
    TempFolder folder;
    std::string original = SyntheticClient(DefaultSlot(), pe32_plus);
    std::string input = folder.Write("in.exe", original);
    std::string output = folder.path() + "/venue.exe";
    Outcome stamped = RunCommand({"--address", "exchange.venue.test", "--output", output, input});
    ASSERT_EQ(stamped.status, 0) << stamped.err;
    EXPECT_EQ(RunCommand({"--home-page", "www.venue.cn", "--output", output, output}).status, 1);
    Outcome second =
        RunCommand({"--home-page", "www.venue.cn", "--output", folder.path() + "/two.exe", output});
    ASSERT_EQ(second.status, 0) << second.err;

    Outcome shown = RunCommand({"--show", folder.path() + "/two.exe"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("address server: exchange.venue.test"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("home page: www.venue.cn"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("(right)"), std::string::npos) << shown.out;
    EXPECT_EQ(ReadFile(input), original);
    EXPECT_EQ(FolderEntries(folder.path()), 3u) << "a temporary file was left";
    // The synthetic image carries no checksum: --show says so and names the right one.
    EXPECT_NE(RunCommand({"--show", input}).out.find("(wrong: 0x"), std::string::npos);
  }
}

// Known answers worked by hand: 16-bit little-endian words with end-around carry, an odd last byte as a
// word of its own, the CheckSum field counted as zero whatever it holds, then the length added.
TEST(VenueClientTest, ChecksumIsCheckSumMappedFiles) {
  struct Case {
    std::string bytes;
    size_t field;
    uint32_t sum;
  } cases[] = {
      {std::string("\xFF\xFF\x01\x00", 4) + std::string(4, '\x7F'), 4, 0x0001 + 8},
      {std::string("\xAA\xBB\xCC\xDD\x34\x12\x07", 7), 0, 0x1234 + 0x0007 + 7},
      {std::string("\xFF\xFF\xFF\xFF\xFF\xFF\x00\x00\x00\x00", 10), 6, 0xFFFF + 10},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PeChecksum(c.bytes, c.field), c.sum) << testing::PrintToString(c.bytes);
}

// osslsigncode signs the stamped copy with a certificate made here; the copy verifies, still shows its
// settings with the checksum right (osslsigncode's own), and cannot be stamped again.
TEST(VenueClientTest, SignsTheStampedCopy) {
  if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
    GTEST_SKIP() << "osslsigncode or openssl is missing (scripts/setup's windows group)";
  TempFolder folder;
  std::string dir = folder.path();
  folder.Write("pass", "venue-secret\n");
  folder.Write("wrong", "guess\n");
  std::string make_certificate = "cd " + dir +
                                 " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                                 " -days 2 -subj /CN=Venue -addext extendedKeyUsage=codeSigning 2>/dev/null"
                                 " && openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.pfx"
                                 " -passout file:pass";
  ASSERT_EQ(std::system(make_certificate.c_str()), 0);
  std::string input = folder.Write("in.exe", SyntheticClient(DefaultSlot()));
  std::string output = dir + "/venue.exe";

  Outcome refused = RunCommand({"--address", "127.0.0.2", "--sign", dir + "/cert.pfx", "--password-file",
                                dir + "/wrong", "--output", output, input});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("osslsigncode could not sign"), std::string::npos) << refused.err;
  EXPECT_NE(access(output.c_str(), F_OK), 0) << "a failed signing left an output";

  Outcome signed_copy = RunCommand({"--address", "127.0.0.2", "--sign", dir + "/cert.pfx", "--password-file",
                                    dir + "/pass", "--output", output, input});
  ASSERT_EQ(signed_copy.status, 0) << signed_copy.err;
  std::string verify =
      "osslsigncode verify -CAfile " + dir + "/cert.pem -in " + output + " > " + dir + "/verify.txt 2>&1";
  EXPECT_EQ(std::system(verify.c_str()), 0) << ReadFile(dir + "/verify.txt");
  EXPECT_EQ(ReadFile(dir + "/verify.txt").find("Calculated PE checksum"), std::string::npos);
  Outcome shown = RunCommand({"--show", output});
  EXPECT_NE(shown.out.find("address server: 127.0.0.2"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("(right)"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("signature: present"), std::string::npos) << shown.out;
  EXPECT_EQ(RunCommand({"--address", "a.cn", "--output", dir + "/again.exe", output}).status, 1);
  for (const char* name : {"key.pem", "cert.pem", "cert.pfx", "verify.txt", "venue.exe"})
    unlink((dir + "/" + name).c_str());
}

TEST(VenueClientTest, UsageErrors) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--address", "a.cn", "in.exe"},
           {"--output", "o.exe", "in.exe"},
           {"--address", "a.cn", "--output", "o.exe"},
           {"--address", "a.cn", "--sign", "c.pfx", "--output", "o.exe", "in.exe"},
           {"--show", "in.exe", "--address", "a.cn"},
           {"--adress", "a.cn", "--output", "o.exe", "in.exe"},
           {"--output"}}) {
    Outcome o = RunCommand(args);
    EXPECT_EQ(o.status, 2) << testing::PrintToString(args);
    EXPECT_NE(o.err.find("Usage:"), std::string::npos);
  }
}

}  // namespace
}  // namespace venue_client
