// Small PNG files written by hand for the picture tests: truecolour with or
// without alpha, and palette pictures (optionally with a tRNS chunk).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pngtest {

using Bytes = std::vector<unsigned char>;

inline void Put32(Bytes& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(v >> s));
}

inline void Chunk(Bytes& out, const char* type, const Bytes& data) {
  Put32(out, static_cast<uint32_t>(data.size()));
  Bytes typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out.insert(out.end(), typed.begin(), typed.end());
  Put32(out, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

// rows: height rows of raw samples (no filter byte). colourType 2 (RGB),
// 6 (RGBA) or 3 (palette, 8 or fewer bits); palette as RGB triples.
inline Bytes Png(int width, int height, int colourType, int bitDepth, const Bytes& samples,
                 const Bytes& palette = {}, const Bytes& alphas = {}) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  Put32(ihdr, static_cast<uint32_t>(width));
  Put32(ihdr, static_cast<uint32_t>(height));
  ihdr.insert(ihdr.end(), {static_cast<unsigned char>(bitDepth),
                           static_cast<unsigned char>(colourType), 0, 0, 0});
  Chunk(out, "IHDR", ihdr);
  if (!palette.empty()) Chunk(out, "PLTE", palette);
  if (!alphas.empty()) Chunk(out, "tRNS", alphas);
  const size_t rowBytes = samples.size() / static_cast<size_t>(height);
  Bytes raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), samples.begin() + y * rowBytes, samples.begin() + (y + 1) * rowBytes);
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes packed(size);
  compress(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
  packed.resize(size);
  Chunk(out, "IDAT", packed);
  Chunk(out, "IEND", {});
  return out;
}

// width x height RGBA: the left half fully transparent, the right half
// opaque in (r, g, b).
inline Bytes HalfTransparent(int width, int height, unsigned char r, unsigned char g,
                             unsigned char b) {
  Bytes s;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const bool opaque = x >= width / 2;
      s.insert(s.end(), {opaque ? r : static_cast<unsigned char>(0x20),
                         opaque ? g : static_cast<unsigned char>(0x40),
                         opaque ? b : static_cast<unsigned char>(0xE0),
                         static_cast<unsigned char>(opaque ? 255 : 0)});
    }
  return Png(width, height, 6, 8, s);
}

}  // namespace pngtest
