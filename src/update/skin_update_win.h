// The skin package engine: the prismic skin driver's extra packages (zip
// files with a ".png" preview beside each) listed on the update server.
// Init reads the install like the driver engine and fetches only the skin
// list; CheckUpdates plans every SKINZIP record whose name is a plain file
// name; UpdateItem downloads the package and its preview into the download
// folder. Installing (copying a package over its local path) is the skin
// dialog's work.
#pragma once

#include "update/update_engine_win.h"

class KLSKINZIPUpdate : public KLIMEUpdate {
 public:
  bool UpdateItem(UpdateEntry* item) override;
  int Init(const wchar_t* imeName) override;
  int CheckUpdates() override;
};

// A package name from the server becomes "<name>.zip" and "<name>.png" in
// local folders: it must be one plain file name (no separators, "." or "..",
// drive or stream syntax, reserved device names, trailing dots or spaces) -
// the extractor's rule for cabinet file names.
bool IsUsableSkinName(const wchar_t* name);
