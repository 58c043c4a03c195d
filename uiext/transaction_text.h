// Transaction text: the format check and the display language it names,
// over the platform's XML service (nothing else of the UI extension needed).
#pragma once

#include <cstdint>

namespace qx::uiext {

// The UI extension's statuses of transaction data.
constexpr uint32_t kMalformedTransaction = 87;  // not transaction text
constexpr uint32_t kNoLanguage = 1627;          // no document element "R" to read the language from

// Bytes the token takes per piece, and the most pieces a transaction has.
constexpr uint32_t kPieceBytes = 192;
constexpr uint32_t kMaxPieces = 0xFFFF;

// ceil(length / 192), at least 1.
uint64_t PieceCount(uint64_t length);

// 0 when `data` (UTF-8, exactly `length` bytes, no terminator needed) is
// transaction text: a document element with at least one "S" child, every
// child of it with only "I" and "V" children, an "I" holding exactly one
// element, a "D", a "V" at most one, a "D".  Otherwise 87: also for null
// data, a NUL byte, malformed UTF-8, a DTD, or text that does not parse.
uint32_t ParseTransData(const uint8_t* data, uint64_t length);

// The token's display language from "xml:lang" of the document element
// "R": containing "zh" (any case) 2052, else containing "en" 2057, else 3;
// 0 without the attribute.  87 for null arguments, 1627 when the text does
// not load or its document element is not "R".
uint32_t TransDisplayLanguage(const uint8_t* data, uint64_t length, uint32_t* code);

}  // namespace qx::uiext
