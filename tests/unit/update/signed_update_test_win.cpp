// The update engine of a program that carries a publisher key, against the
// real test server: a list is taken only with its signature by that key, and
// a driver cabinet only when its SHA-256 is the one the signed list gives.
// The key is made for the run and written into this program's key slot, as
// the packager writes it into its copy of the setup; lists are signed with it
// here through CNG. Reasons are read back from the dialog's lines and the log.
#include <windows.h>

#include <bcrypt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "state/setup_log_win.h"
#include "base/text.h"
#include "package/cab_writer.h"
#include "testfs_win.h"
#include "update/update_engine_win.h"
#include "update/update_key_slot.h"
#include "update/update_signature.h"
#include "update/update_verify_win.h"
#include "update_server_win.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The program's key slot: the 65 bytes after its marker. The marker is kept
// here scrambled, so that this file adds no second copy of it to the program.
unsigned char* FindKeySlot() {
  static const volatile unsigned char kScrambled[] = {'K' ^ 0x5A, 'L' ^ 0x5A, '.' ^ 0x5A, 'U' ^ 0x5A,
                                             'P' ^ 0x5A, 'D' ^ 0x5A, 'K' ^ 0x5A, 'E' ^ 0x5A,
                                             'Y' ^ 0x5A, '.' ^ 0x5A, 'S' ^ 0x5A, 'L' ^ 0x5A,
                                             'O' ^ 0x5A, 'T' ^ 0x5A, '1' ^ 0x5A, 0 ^ 0x5A};
  static_assert(sizeof kScrambled == klupdate::kKeySlotMarkerBytes, "the marker's size");
  unsigned char marker[sizeof kScrambled];
  for (size_t i = 0; i < sizeof marker; ++i) marker[i] = kScrambled[i] ^ 0x5A;
  auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  unsigned char* found = nullptr;
  int count = 0;
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    unsigned char* p = base + section->VirtualAddress;
    const size_t n = section->Misc.VirtualSize;
    for (size_t at = 0; at + klupdate::kKeySlotBytes <= n; ++at) {
      if (p[at] == marker[0] && std::memcmp(p + at, marker, sizeof marker) == 0) {
        found = p + at + sizeof marker;
        ++count;
      }
    }
  }
  return count == 1 ? found : nullptr;
}

void WriteSlot(unsigned char* slot, const unsigned char* bytes) {
  DWORD old = 0;
  VirtualProtect(slot, klupdate::kKeySlotPointBytes, PAGE_READWRITE, &old);
  std::memcpy(slot, bytes, klupdate::kKeySlotPointBytes);
  VirtualProtect(slot, klupdate::kKeySlotPointBytes, old, &old);
}

// A P-256 key pair of CNG's that signs as klpack does (DER beside the list).
class SigningKey {
 public:
  SigningKey() : alg_(BCRYPT_ECDSA_P256_ALGORITHM) {
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    ULONG got = 0;
    ok_ = alg_.h && BCryptGenerateKeyPair(alg_.h, &key_.h, 256, 0) >= 0 &&
          BCryptFinalizeKeyPair(key_.h, 0) >= 0 &&
          BCryptExportKey(key_.h, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &got, 0) >=
              0 &&
          got == sizeof blob;
    point_[0] = 0x04;  // the slot holds the uncompressed point
    if (ok_) std::memcpy(point_ + 1, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
  }
  bool ok() const { return ok_; }
  const unsigned char* point() const { return point_; }
  Bytes Sign(const Bytes& data) const {
    uint8_t digest[klupdate::kSha256Bytes], raw[klupdate::kRawSignatureBytes];
    ULONG got = 0;
    if (!Sha256OfBytes(data.data(), data.size(), digest) ||
        BCryptSignHash(key_.h, nullptr, digest, sizeof digest, raw, sizeof raw, &got, 0) < 0)
      return {};
    return klupdate::RawSignatureToDer(raw);
  }

 private:
  CngAlgorithm alg_;
  CngKey key_;
  bool ok_ = false;
  unsigned char point_[klupdate::kKeySlotPointBytes] = {};
};

// A key's point in this program's slot while the object lives.
class KeyInSlot {
 public:
  explicit KeyInSlot(const SigningKey& key) : slot_(FindKeySlot()) {
    if (slot_ && key.ok()) WriteSlot(slot_, key.point());
  }
  ~KeyInSlot() {
    const unsigned char zeros[klupdate::kKeySlotPointBytes] = {};
    if (slot_) WriteSlot(slot_, zeros);
  }
  KeyInSlot(const KeyInSlot&) = delete;
  KeyInSlot& operator=(const KeyInSlot&) = delete;
  bool ok() const { return slot_ && UpdateKeyBuiltIn(); }

 private:
  unsigned char* slot_;
};

struct Recorder {
  std::vector<std::wstring> messages;
  static void OnProgress(const UpdateStatus*, void*) {}
  static void OnMessage(const UpdateStatus* s, void* u) {
    static_cast<Recorder*>(u)->messages.push_back(s->text);
  }
};

class SignedUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(key_.ok());
    ASSERT_TRUE(slot_.ok()) << "no key slot found in this program";
    dir_ = testfs::TempFolder() + testfs::Unique(L"klsigned") + L"\\";
    root_ = dir_ + L"www\\";
    for (const std::wstring& d : {dir_, root_, dir_ + L"dl\\", dir_ + L"install\\"})
      CreateDirectoryW(d.c_str(), nullptr);
    ASSERT_TRUE(server_.Start(dir_, root_,
                              std::string(KL_SOURCE_DIR) + "/tests/support/update_server.py"));
    engine_.SetDownloadFolder((dir_ + L"dl\\").c_str());
    ASSERT_TRUE(engine_.Prepare({&Recorder::OnProgress, &Recorder::OnMessage, &rec_}));
    setuplog::Open(LogPath().c_str());
  }
  void TearDown() override {
    setuplog::Close(0);
    server_.Stop();
    testfs::RemoveTree(dir_);
  }
  std::wstring LogPath() const { return dir_ + L"update" + std::to_wstring(logs_) + L".log"; }
  // The log since the last call (closed and read; the next one opened).
  std::string Log() {
    setuplog::Close(0);
    const std::string text = testfs::ReadText(LogPath());
    ++logs_;
    setuplog::Open(LogPath().c_str());
    return text;
  }
  std::wstring Url(const std::wstring& path) { return server_.Base() + path; }

  SigningKey key_;
  KeyInSlot slot_{key_};
  int logs_ = 0;
  std::wstring dir_, root_;
  testsrv::UpdateServer server_;
  Recorder rec_;
  KLIMEUpdate engine_;
};

const char kList[] =
    "<TYPE=KME_DRIVE><NAME=TableDrv><VERSION=1.5><CABURL=http://h/t.cab>\r\n"
    "<TYPE=CONFIG_DRIVE><NAME=_config_><VERSION=1.0.0.7>\r\n";

TEST_F(SignedUpdate, AListIsTakenOnlyWithItsSignatureByTheProgramsKey) {
  const Bytes list(kList, kList + sizeof kList - 1);
  ASSERT_TRUE(testfs::WriteAll(root_ + L"good.txt", list));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"good.txt.sig", key_.Sign(list)));
  // The same list with a signature of other bytes, a signature by another
  // key, and no signature at all.
  Bytes changed = list;
  changed[20] ^= 1;
  ASSERT_TRUE(testfs::WriteAll(root_ + L"other.txt", list));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"other.txt.sig", key_.Sign(changed)));
  const SigningKey stranger;
  ASSERT_TRUE(testfs::WriteAll(root_ + L"stranger.txt", list));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"stranger.txt.sig", stranger.Sign(list)));
  ASSERT_TRUE(testfs::WriteAll(root_ + L"bare.txt", list));

  const std::wstring refusedLine = L"  更新列表的签名验证失败！";
  int refusals = 0;
  for (const wchar_t* name : {L"/other.txt", L"/stranger.txt", L"/bare.txt"}) {
    rec_.messages.clear();
    engine_.FetchUpdateList(Url(name).c_str());
    ++refusals;
    EXPECT_EQ(engine_.listFailures(), refusals) << kl::ToUtf8(name);
    EXPECT_TRUE(engine_.entries() == nullptr || engine_.entries()->Count() == 0)
        << kl::ToUtf8(name) << ": a list was taken without a good signature";
    ASSERT_EQ(rec_.messages.size(), 2u) << kl::ToUtf8(name);
    EXPECT_EQ(rec_.messages[0], L"无法访问的URL：" + Url(name));
    EXPECT_EQ(rec_.messages[1], refusedLine);
  }
  const std::string log = Log();
  for (const wchar_t* name : {L"/other.txt", L"/stranger.txt", L"/bare.txt"})
    EXPECT_NE(log.find("update list refused: " + kl::ToUtf8(Url(name).c_str()) +
                       " (its signature does not verify)"),
              std::string::npos)
        << log;
  EXPECT_EQ(log.find("signature verified"), std::string::npos) << log;

  // The signed list is taken, both its lines.
  rec_.messages.clear();
  engine_.FetchUpdateList(Url(L"/good.txt").c_str());
  EXPECT_EQ(engine_.listFailures(), refusals);
  ASSERT_NE(engine_.entries(), nullptr);
  EXPECT_EQ(engine_.entries()->Count(), 2u);
  EXPECT_TRUE(rec_.messages.empty());
  EXPECT_NE(Log().find("  signature verified"), std::string::npos);
}

TEST_F(SignedUpdate, ADriverCabinetIsOpenedOnlyWithTheDigestTheListGives) {
  // The installed driver and a newer one in a cabinet: two real libraries
  // (the sample's), so that a vouched-for cabinet goes all the way.
  const std::wstring installed = dir_ + L"install\\mb.dll";
  ASSERT_TRUE(CopyFileW((testfs::BinFolder() + L"sample\\mb.dll").c_str(), installed.c_str(), FALSE));
  Bytes before, newer;
  ASSERT_TRUE(testfs::ReadAll(installed, &before));
  ASSERT_TRUE(testfs::ReadAll(testfs::BinFolder() + L"sample\\skin.dll", &newer));
  const Bytes cabinet = cab::BuildCabinet({{"TableDrv.dll", newer}});
  ASSERT_TRUE(testfs::WriteAll(root_ + L"t.cab", cabinet));
  uint8_t digest[klupdate::kSha256Bytes];
  ASSERT_TRUE(Sha256OfBytes(cabinet.data(), cabinet.size(), digest));

  UpdateEntry item;
  item.type = klupdate::kTypeKmeDrive;
  kl::Copy(item.name, L"TableDrv");
  kl::Copy(item.path, installed.c_str());
  kl::Copy(item.cabUrl, Url(L"/t.cab").c_str());
  const std::vector<std::wstring> refused = {L"更新：TableDrv", L"　　下载TableDrv 失败"};

  // A digest of other bytes, then none at all (a signed list must give one).
  item.sha256.state = klupdate::Digest::kGiven;
  std::memcpy(item.sha256.bytes, digest, sizeof digest);
  item.sha256.bytes[31] ^= 1;
  EXPECT_FALSE(engine_.UpdateItem(&item));
  EXPECT_EQ(rec_.messages, refused);
  item.sha256 = klupdate::Digest();
  rec_.messages.clear();
  EXPECT_FALSE(engine_.UpdateItem(&item));
  EXPECT_EQ(rec_.messages, refused);
  Bytes now;
  ASSERT_TRUE(testfs::ReadAll(installed, &now));
  EXPECT_TRUE(now == before) << "the driver was replaced from a cabinet the list does not vouch for";
  EXPECT_FALSE(testfs::Exists(dir_ + L"dl\\_klautodownload.cab"));  // never kept, never opened
  EXPECT_FALSE(testfs::Exists(dir_ + L"dl\\TableDrv.dll"));
  std::string log = Log();
  const size_t differs = log.find("  digest: refused (differs from the list)");
  const size_t none = log.find("  digest: refused (the signed list gives none)");
  EXPECT_NE(differs, std::string::npos) << log;
  EXPECT_NE(none, std::string::npos) << log;
  EXPECT_LT(differs, none) << log;

  // The digest the list gives: the driver is replaced.
  std::memcpy(item.sha256.bytes, digest, sizeof digest);
  item.sha256.state = klupdate::Digest::kGiven;
  rec_.messages.clear();
  EXPECT_TRUE(engine_.UpdateItem(&item));
  EXPECT_EQ(rec_.messages, std::vector<std::wstring>{L"更新：TableDrv"});
  ASSERT_TRUE(testfs::ReadAll(installed, &now));
  EXPECT_FALSE(now == before);
  log = Log();
  EXPECT_NE(log.find("  digest: matches the list"), std::string::npos) << log;
  EXPECT_NE(log.find("file replaced: " + kl::ToUtf8(installed.c_str())), std::string::npos) << log;
}

}  // namespace
