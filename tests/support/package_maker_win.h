// Test packages: a setup executable with an enciphered "CRYP" cabinet
// appended, built in memory from a real program and a list of files.
#pragma once

#include <string>
#include <vector>

#include "package/cab_writer.h"

namespace testpkg {

// The "CRYP" container of files: an MSZIP cabinet, padded to a multiple of
// 8 bytes, enciphered from offset 56 under the package key, "CRYP" at 0.
// Empty when the cabinet cannot be built.
std::vector<unsigned char> MakeContainer(const std::vector<cab::Entry>& files);

// program (a PE file) with container appended and its length written into
// LoaderFlags. Empty when program is not a PE.
std::vector<unsigned char> AppendPackage(std::vector<unsigned char> program,
                                         const std::vector<unsigned char>& container);

// A manifest ("InstallInfo.kif") of size bytes whose key name and display
// name are given; the rest is zero.
std::vector<unsigned char> MakeManifest(const std::u16string& imeName,
                                        const std::u16string& displayName,
                                        size_t size = 2668);

bool ReadFileBytes(const std::wstring& path, std::vector<unsigned char>* out);
bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& data);

}  // namespace testpkg
