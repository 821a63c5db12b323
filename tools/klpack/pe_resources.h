// A PE file's resources, read on any host: the resource directory walked
// with every offset checked against the file and the directory's size, a
// bounded number of entries per level (fuzz-safe on hostile files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace klpack {

constexpr uint32_t kResIcon = 3;
constexpr uint32_t kResBitmap = 2;
constexpr uint32_t kResVersion = 16;

struct PeResources {
  const unsigned char* file = nullptr;
  size_t fileSize = 0;
  size_t dir = 0;       // file offset of the resource directory
  size_t dirSize = 0;   // its size (bytes that lie in the file)
  struct Section {
    uint32_t va, vsize, raw, rawSize;
  };
  std::vector<Section> sections;
};

// false when the bytes are not a PE file or it has no resource directory.
bool OpenPeResources(const unsigned char* data, size_t size, PeResources* out);
// The data of resource (type, id): the first language, or with id < 0 the
// first entry of the type. false when absent or not backed by file bytes.
bool FindPeResource(const PeResources& res, uint32_t type, long id, const unsigned char** data,
                    size_t* size);
inline bool HasPeResource(const PeResources& res, uint32_t type, long id) {
  const unsigned char* d = nullptr;
  size_t n = 0;
  return FindPeResource(res, type, id, &d, &n);
}

}  // namespace klpack
