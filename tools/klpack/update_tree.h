// klpack update-tree and the inspection of update lists: the publisher's
// side of the online driver update.
//
//   klpack update-tree [--drivers DIR] [--skins DIR] --base-url URL -o OUT [--key KEY.pem]
//
// DIR holds one sub-folder per driver type, named by the type identifier the
// client knows, with the drivers in it under the name the list gives them:
//   DIR/IME_MAIN/KeloSample.ime      DIR/SKIN_DRIVE/prismic.dll
//   DIR/KME_DRIVE/KeloSampleMB.dll   DIR/CONFIG_DRIVE/_config_.exe
//   DIR/INSTALLBASE_DRIVE/_install_base_.exe
// (the extension is the one the client looks for inside the cabinet: ".ime",
// ".dll" or ".exe" by type). OUT receives what a static web server serves:
//   OUT/drivers/<type>/<name>.cab    one MSZIP cabinet holding the file
//   OUT/_supports/klime_drives/UpdateList.txt
// The list is UTF-8 with signature, one line per driver (sorted by type code,
// then name) with TYPE, NAME, VERSION (the driver's own "FileVersion") and
// CABURL = URL + "/drivers/<type>/<name>.cab".
#pragma once

#include <string>

#include "klpack.h"

namespace klpack {

struct PublisherKey;
// With a key, every list line also gives <SHA256=...> of its cabinet and the
// list is signed (NAME.sig beside it, DER ECDSA P-256 over the list's bytes).
Status UpdateTree(const fs::path& drivers, const std::string& baseUrl, const fs::path& out,
                  std::string* report, const PublisherKey* key = nullptr);

// The same with skin packages: drivers and skins may each be empty (not
// both). SKINS holds "<name>.zip" files, each published with the
// "<name>.png" preview beside it (a package without one is left out):
//   OUT/skins/<name>.zip  OUT/skins/<name>.zip.png  (the client asks for the
//                                                  package URL + ".png")
//   OUT/_supports/klskin_prismic/updatelist.txt
// one line per package, sorted by name: TYPE=SKINZIP, NAME, VERSION (from
// "<name>.version" beside it, one line of four numbers; else 1.0.0.0),
// CABURL = URL + "/skins/<name>.zip". A name is a plain file name of at most
// 39 letters, digits, '_', '-', '.' (no reserved device name, no trailing
// dot); anything else stops the run.
// keyFile: the publisher's private key (klpack keygen) or empty. A skin line
// then gives <SHA256=...> of its package and <PNGSHA256=...> of its picture.
Status UpdateTree(const fs::path& drivers, const fs::path& skins, const std::string& baseUrl,
                  const fs::path& out, std::string* report, const fs::path& keyFile = {});

// A file that is neither a PE file nor a cabinet package ("MZ", "MSCF",
// "CRYP"): inspect reads it as an update list.
bool LooksLikeUpdateList(const fs::path& file);
// The records of a list as the client parses them.
Status InspectUpdateList(const fs::path& file, std::string* report);

// The "FileVersion" text of a PE file's version resource (first string
// table that has it). Every offset is checked against the file.
Status ReadPeFileVersion(const std::vector<unsigned char>& pe, const std::string& name,
                         std::string* version);

}  // namespace klpack
