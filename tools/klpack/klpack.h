// klpack: the packager's operations as a library (the executable is a thin
// command-line shell around them; tests call them directly).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "package/blowfish.h"
#include "state/records.h"

namespace klpack {

namespace fs = std::filesystem;

// Exit codes.
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;

// The result of an operation: code 0 and no message, or an exit code and
// one line of text (without the "klpack: " prefix).
struct Status {
  int code = 0;
  std::string message;
  bool ok() const { return code == 0; }
  static Status Ok() { return {}; }
  static Status Usage(std::string m) { return {kExitUsage, std::move(m)}; }
  static Status Input(std::string m) { return {kExitInput, std::move(m)}; }
};

// UTF-8 text <-> paths.
fs::path PathFromUtf8(const std::string& s);
std::string PathToUtf8(const fs::path& p);

// ---- manifest ----------------------------------------------------------

struct Manifest {
  PackageHeader header{};       // every text field, zero-filled otherwise
  uint16_t date = 0x40E6;       // DOS date of every entry (2012-07-06)
  uint16_t time = 0;            // DOS time
  bool haveSetId = false;
  uint16_t setId = 0;
};

// A manifest holds a few kilobytes of fields; larger files are refused unread.
constexpr uint64_t kMaxManifestBytes = 64 * 1024;

// Parses manifest text; source names the file in messages. Lines end at
// "\r\n", "\n" or "\r". imeName must be a plain key name (kl::CheckKeyName),
// displayName a plain file name (the Start-menu folder), launchAfterInstall
// a relative path; no value may hold a NUL byte.
Status ParseManifest(const std::string& text, const std::string& source, Manifest* out);
Status LoadManifest(const fs::path& file, Manifest* out);
// The 2668 bytes of InstallInfo.kif (UTF-16LE).
std::vector<unsigned char> HeaderBytes(const PackageHeader& h);
// Reads the text fields back from InstallInfo.kif bytes (at least 2668).
bool HeaderFromBytes(const std::vector<unsigned char>& bytes, PackageHeader* out);

// The manifest's field names and where each lives, in record order.
struct FieldInfo {
  const char* name;
  size_t offset;  // bytes into PackageHeader
  size_t units;   // array size in UTF-16 units (terminator included)
};
const std::vector<FieldInfo>& HeaderFields();

// ---- building ----------------------------------------------------------

// One file of the folder, in package order.
struct SourceFile {
  fs::path path;         // on disk
  std::string name;      // in the cabinet: UTF-8, "\" between folders
  uint64_t size = 0;
};

// Lists every file under folder, sorted by name (UTF-8 bytes). Links to
// files are read through; links to folders, devices, FIFOs, sockets, any
// listing error and names the setup cannot extract (or that are one name on
// Windows, letter case aside, with each other or with a reserved name) stop
// it with a message naming them.
Status CollectFolder(const fs::path& folder, std::vector<SourceFile>* out,
                     const std::vector<std::string>& reserved = {});

// A product: its manifest and its folder's files (InstallInfo.kif reserved),
// as build and check read them.
Status LoadProduct(const fs::path& manifestPath, const fs::path& folder, Manifest* manifest,
                   std::vector<SourceFile>* files);

struct BuildOptions {
  const BlowfishContext* key = nullptr;  // null: the package key
  // The publisher key of update lists (X || Y), written into the stub copy's
  // key slot; null leaves the slot as the stub has it.
  const uint8_t* updateKey = nullptr;
};

// klpack build: stub + enciphered package with InstallInfo.kif first.
Status BuildSetup(const fs::path& manifest, const fs::path& folder, const fs::path& stub,
                  const fs::path& out, const BuildOptions& opt = {});
// klpack init: a starting product in dir (made; an existing dir must be
// empty): a commented manifest, the product folder with its placement
// folders, License.html and $dataFiles$\config.ksc, and README.txt.
Status InitProduct(const fs::path& dir, const std::string& key, const std::string& name,
                   std::string* report);
// klpack cab: a plain MSZIP cabinet of the folder.
Status BuildPlainCab(const fs::path& folder, const fs::path& out);

// ---- config.ksc ----------------------------------------------------------

struct KscRecord {
  std::string name, codeTable, mainDriver, skin;
};
constexpr size_t kKscRecordSize = 1668;
constexpr size_t kKscNameOffset = 6;
constexpr size_t kKscCodeTableOffset = 1260;
constexpr size_t kKscMainOffset = 1500;
constexpr size_t kKscSkinOffset = 1588;
Status BuildKsc(const std::vector<KscRecord>& records, std::vector<unsigned char>* out);
Status WriteKsc(const std::vector<KscRecord>& records, const fs::path& out);

// ---- reading -------------------------------------------------------------

struct CabFileInfo {
  std::string name;  // as stored (UTF-8 when flagged, else code page 1252 decoded to UTF-8)
  uint32_t size = 0;
  uint16_t date = 0, time = 0, attribs = 0;
};

struct CabListing {
  bool enciphered = false;   // the container began "CRYP"
  uint64_t containerSize = 0;
  uint32_t cabinetLength = 0;
  uint16_t setId = 0;
  std::vector<CabFileInfo> files;
};

// Where a cabinet is: a file from offset to its end, or bytes in memory.
struct CabSource {
  fs::path path;
  uint64_t offset = 0;
  const std::vector<unsigned char>* memory = nullptr;  // used instead of path when set
  const BlowfishContext* key = nullptr;                // null: the package key
  // Bytes from offset (a signed setup's package ends where its certificate
  // table starts); the rest of the file when larger.
  uint64_t length = UINT64_MAX;
  // A signed setup: the size of the certificate table after the package.
  uint32_t certificateBytes = 0;
};

struct MemoryFile {
  CabFileInfo info;
  std::vector<unsigned char> data;
};

// Lists a cabinet ("MSCF", or "CRYP" deciphered on the fly).
Status ListCabinet(const CabSource& src, CabListing* out);
// Extracts every file under dir.
Status ExtractCabinet(const CabSource& src, const fs::path& dir, CabListing* out);
// Extracts every file into memory.
Status ExtractCabinetToMemory(const CabSource& src, CabListing* listing,
                              std::vector<MemoryFile>* files);

// Finds the package in a file: a setup executable (E from LoaderFlags, up to
// a signature's certificate table, as the setup splits it) or a bare
// package/cabinet (offset 0). Fills src->path, offset and length; e is 0 for
// a bare package.
Status LocatePackage(const fs::path& file, CabSource* src, uint32_t* e);

// klpack inspect / extract. Both give the setup's verdict: a package it
// would refuse is an error (inspect still describes what it could read).
Status Inspect(const fs::path& file, std::string* report);
// Extract says in *report (may be null) when the file is a signed setup.
Status Extract(const fs::path& file, const fs::path& dir, std::string* report = nullptr);

// The whole command line (args without the program name). Writes normal
// output to out; returns the status whose message goes to stderr.
Status Run(const std::vector<std::string>& args, std::string* out);

}  // namespace klpack
