// Message tables: the built-in English table and the loaded catalogues.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/error.h"

namespace Common {

inline constexpr uint32_t kMessageSlotCount = 1813;
inline constexpr uint32_t kMessageHeaderWords = kMessageSlotCount + 2;

// Whether text points into the active table (then records reference it).
bool IsInActiveTable(const void* text);

// Checks a catalogue buffer: size word, header word, and every slot pointing
// at a terminated text inside the buffer.
bool IsValidMessageTable(const uint8_t* data, size_t size);

// Looks a message up in a given table (no subscription).
const char16_t* LookUpMessage(const uint8_t* table, MessageId id);

const uint8_t* BuiltinMessageTable();
const uint8_t* ActiveMessageTable();

// Run by the language-change callback: loads the current language's
// catalogue from the resource module, or falls back to the built-in table.
void ReloadCatalogue();

}  // namespace Common
