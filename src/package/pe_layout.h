// Where the package sits in the setup executable: its offset E (the length
// of the executable part) is kept in the PE optional header's LoaderFlags.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t kPeMagic32 = 0x10b;      // PE32
constexpr uint16_t kPeMagic64 = 0x20b;      // PE32+
constexpr uint32_t kPeLfanewOffset = 60;    // e_lfanew in the DOS header
constexpr uint32_t kLoaderFlagsPe32 = 112;  // from e_lfanew: 4 + 20 + 88
constexpr uint32_t kLoaderFlagsPe64 = 128;  // from e_lfanew: 4 + 20 + 104

struct PeLayout {
  uint32_t lfanew;
  uint16_t magic;  // 0x10b PE32, 0x20b PE32+
  uint32_t loaderFlagsOffset;
  uint32_t loaderFlags;
};

// Reads e_lfanew at 60, checks "MZ" and "PE\0\0", reads the optional header
// magic and takes LoaderFlags at e_lfanew+112 (PE32) or e_lfanew+128 (PE32+).
// Every read is bounds-checked against size. false when not a PE.
bool ReadPeLayout(const unsigned char* data, size_t size, PeLayout* out);

// E, the length of the executable part: LoaderFlags, or 0 when there is no
// package / not a PE / E > size.
uint32_t ReadPackageOffset(const unsigned char* data, size_t size);

// Where the package lies: from E to the end of the file, or, in a signed
// file, to the start of the certificate table that the security directory
// (data directory 4, whose address is a file offset) names. A signature is
// appended after the package, so the table must start after E and end
// within the file; one that starts inside the executable part, is empty or
// reaches past the end marks a damaged file. The signer's alignment padding
// (fewer than 8 zero bytes before the table, after a package of whole 8-byte
// blocks) is not part of the package.
struct PackageExtent {
  uint32_t offset;  // E
  uint32_t size;    // package bytes from E
  bool isSigned;    // a certificate table follows the package
  uint32_t certificateSize;
};

// false when there is no package (see ReadPackageOffset), when the package
// would be empty, or when the security directory is damaged as above.
bool ReadPackageExtent(const unsigned char* data, size_t size, PackageExtent* out);

// Empties the security directory of a PE header (the bare program split off
// a signed setup no longer carries the table). false when not a PE or the
// directory is not there; nothing is written then.
bool ClearCertificateDirectory(unsigned char* data, size_t size);

// Writes E into LoaderFlags (packager). false when not a PE (nothing written).
bool WritePackageOffset(unsigned char* data, size_t size, uint32_t e);
