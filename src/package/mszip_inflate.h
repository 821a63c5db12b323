// MSZIP's deflate decoder: one cabinet data block's compressed bytes (after
// the "CK" mark) into exactly the block's uncompressed size. Stored, fixed
// and dynamic Huffman blocks. The output of the earlier blocks of the same
// folder stays right before the new block's output in the caller's buffer,
// so a back reference reaches into it directly; the caller says how many of
// those bytes are there.
//
// Every input read is bounded by the block's length, every output write by
// the block's size and every back reference by the output and history
// there: a hostile block gives false, never a read or write outside them.
// Memory is the two decoding tables inside the object; nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cab {

class MsZipInflater {
 public:
  // The deflate window: how far back a reference can reach.
  static constexpr size_t kWindow = 32768;

  // Decodes `in` (inLen bytes) into out[0, size). out[-history, 0) holds the
  // folder's earlier output. True when the data decodes to exactly `size`
  // bytes and ends there: after its final deflate block, or with the input
  // used up at a block boundary (a stream cut at a flush point).
  bool Inflate(const unsigned char* in, size_t inLen, unsigned char* out, size_t size,
               size_t history);

  // Why the last Inflate gave false (kNone after a success).
  enum class Error {
    kNone,
    kInputEnd,          // the data ends inside a block
    kBlockType,         // block type 3
    kStoredLength,      // a stored block's LEN and ~LEN disagree
    kStoredPastInput,   // a stored block longer than the input left
    kStoredPastOutput,  // a stored block longer than the output room left
    kCodeCounts,        // more than 286 literal/length or 30 distance codes
    kBadCode,           // an over-subscribed or incomplete code
    kRepeatFirst,       // a code-length repeat with nothing before it
    kRepeatPastEnd,     // a code-length repeat past the lengths the block declares
    kNoEndCode,         // no code for the end of the block
    kBadSymbol,         // a code that means nothing (286, 287, distances 30 and 31)
    kOutputFull,        // a literal or match past the output room
    kDistanceTooFar,    // a reference before the output and its history
    kWrongSize,         // the data ends with more or less output than the block's size
  };
  Error error() const { return error_; }

  // Table entries: bits to drop (0-7), kind (8-11), extra bits or the
  // sub-table's index bits (12-15), value (16-31). Public for the table
  // builder in the source file.
  static constexpr unsigned kLitBits = 10;   // first-level index bits
  static constexpr unsigned kDistBits = 8;
  // Room for the largest tables a valid code needs (maximum sizes of two-level
  // tables for 288 and 32 symbols of at most 15 bits with those first levels).
  static constexpr size_t kLitTable = 1334;
  static constexpr size_t kDistTable = 402;

 private:
  bool Dynamic();
  bool Codes();
  bool Fail(Error e) {
    error_ = e;
    return false;
  }

  uint32_t lit_[kLitTable];
  uint32_t dist_[kDistTable];
  // The bit reader and the output, live during Inflate.
  const unsigned char* ip_ = nullptr;
  const unsigned char* iend_ = nullptr;
  const unsigned char* in_ = nullptr;
  uint64_t bitbuf_ = 0;
  unsigned bitcount_ = 0;
  size_t phantom_ = 0;  // zero bytes fed in past the end of the input
  unsigned char* op_ = nullptr;
  unsigned char* oend_ = nullptr;
  unsigned char* obegin_ = nullptr;  // the oldest byte a reference may reach
  Error error_ = Error::kNone;
};

}  // namespace cab
