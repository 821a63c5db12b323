// The driver update engine of an installed input method: download, update
// lists, planning and installing items. Its dialog drives it from a worker
// thread and hears from it only through the callbacks.
//
//   KLIMEUpdate engine;
//   engine.Prepare({OnProgress, OnMessage, dialog});   // dialog thread
//   if (engine.Init(name) && engine.CheckUpdates())   // worker thread
//     for each planned item with localVersion < serverVersion: engine.UpdateItem(item)
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "update/update_list.h"

using klupdate::UpdateEntry;
using klupdate::UpdateEntryList;

// What a callback gets: a message line (amount 0) or a byte count (text null).
struct UpdateStatus {
  const wchar_t* text;
  uint32_t amount;
};

struct UpdateCallbacks {
  void (*progress)(const UpdateStatus* status, void* user);
  void (*message)(const UpdateStatus* status, void* user);
  void* user;
};

// The process-wide running total of downloaded bytes (never reset).
uint32_t DownloadedBytesTotal();

// READTEXT: a text file in any of the five encodings as one UTF-16 block.
class READTEXT {
 public:
  READTEXT() = default;
  virtual ~READTEXT() = default;
  READTEXT(const READTEXT&) = delete;
  READTEXT& operator=(const READTEXT&) = delete;

  virtual bool Load(const wchar_t* path);
  // The same decoding of bytes already read (a verified list).
  void Decode(const wchar_t* path, const unsigned char* bytes, size_t size);

  const wchar_t* path() const { return path_; }
  const klupdate::DecodedText& decoded() const { return text_; }
  const wchar_t* text() const { return text_.text(); }
  int32_t length() const { return text_.length; }

 private:
  wchar_t path_[260] = {};
  klupdate::DecodedText text_;
};

// The update server's address: the value "UpdateServer" under HKLM of
// "Software\Policies\zorbl\<imeName>", then of the vendor key
// "Software\zorbl\<imeName>", the first set and not empty, else the build's
// default (CMake cache variable KL_UPDATE_SERVER); never a per-user value.
// Scheme and host (and port), without a trailing slash.
void GetUpdateServer(const wchar_t* imeName, wchar_t (&out)[512]);

class KLIMEUpdate {
 public:
  KLIMEUpdate() = default;
  virtual ~KLIMEUpdate();
  KLIMEUpdate(const KLIMEUpdate&) = delete;
  KLIMEUpdate& operator=(const KLIMEUpdate&) = delete;

  virtual bool UpdateItem(UpdateEntry* item);
  virtual int Init(const wchar_t* imeName);
  virtual int CheckUpdates();
  virtual void GetLocalPath(UpdateEntry* item);

  bool Prepare(const UpdateCallbacks& callbacks);
  // A download larger than maxBytes (announced or received) fails like a
  // broken one: a hostile server cannot fill the disk.
  static constexpr uint64_t kMaxItemBytes = 256ull << 20;  // cabinets, packages, pictures
  static constexpr uint64_t kMaxListBytes = 4ull << 20;    // update lists
  static constexpr uint64_t kMaxSignatureBytes = 1024;     // a list's .sig
  // Only http:// and https:// addresses are fetched; any other fails at
  // once (no request, no file at target).
  bool DownloadFile(const wchar_t* url, const wchar_t* target, uint64_t maxBytes = kMaxItemBytes);

 private:
  struct DownloadOutcome {
    DWORD httpStatus = 0;  // 0: no answer came
    DWORD error = 0;       // the Windows error when no answer came
    uint64_t bytes = 0;
    bool tooLarge = false;
  };
  // The transfer itself; DownloadFile logs its outcome.
  bool Download(const wchar_t* url, const wchar_t* target, uint64_t maxBytes,
                DownloadOutcome* outcome);

 public:
  void FetchUpdateList(const wchar_t* url);

  // Downloads and unpacked files land here (set before Prepare; must end in
  // a backslash). Start-up passes its private work folder, which it removes
  // at the end of the run. Without it Prepare fails: the user's temporary
  // folder is never the engine's work place.
  void SetDownloadFolder(const wchar_t* folder);

  // Asks a running check to stop: the transfer under way fails within a
  // tenth of a second (its partial file deleted), also when the server has
  // stopped sending, and no further download starts. Any thread.
  void Cancel();
  bool Cancelled() const { return cancelled_.load(); }

  const wchar_t* installDir() const { return installDir_; }
  const wchar_t* skinDriverName() const { return skinDriverName_; }
  const wchar_t* imeDriverName() const { return imeDriverName_; }
  const wchar_t* tableDriverName() const { return tableDriverName_; }
  const wchar_t* tempDir() const { return tempDir_; }
  const wchar_t* imeName() const { return imeName_; }
  const UpdateEntryList* plan() const { return plan_.get(); }
  const UpdateEntryList* entries() const { return entries_.get(); }

  // Lists that could not be fetched or whose signature was refused.
  int listFailures() const { return listFailures_; }
  // A driver in use is replaced at the next restart instead of failing (an
  // unattended run, which ends no process); restartNeeded() says whether one was.
  void SetReplaceAtRestart(bool on) { replaceAtRestart_ = on; }
  bool restartNeeded() const { return restartNeeded_; }

 protected:
  // The steps every engine's Init starts with: the key name, the install
  // folder from the machine-wide vendor key (HKLM, with the value), the driver
  // names from config.ksc, and empty entry and plan lists. false, with the
  // message line sent, when the folder or the configuration is missing.
  bool InitProduct(const wchar_t* imeName);
  void SendMessageLine(const wchar_t* text);
  void SendProgress(uint32_t amount);

  int listFailures_ = 0;
  bool replaceAtRestart_ = false;
  bool restartNeeded_ = false;
  wchar_t imeName_[40] = {};
  wchar_t installDir_[260] = {};
  wchar_t imeDriverName_[40] = {};
  wchar_t tableDriverName_[40] = {};
  wchar_t skinDriverName_[40] = {};
  wchar_t systemDir_[260] = {};
  wchar_t tempDir_[260] = {};
  wchar_t downloadFolder_[260] = {};
  std::unique_ptr<UpdateEntryList> plan_;
  std::unique_ptr<UpdateEntryList> entries_;
  UpdateCallbacks callbacks_ = {nullptr, nullptr, nullptr};

 private:
  std::atomic<bool> cancelled_{false};
};

// "%s.dll", "%s.ime", "%s.exe" or "%s" of the item's name, by type: the file
// the item's cabinet holds. out has 64 characters.
void CabinetFileName(const UpdateEntry& item, wchar_t (&out)[64]);
