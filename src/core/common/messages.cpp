#include "core/common/messages.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/common/byte_order.h"
#include "core/common/module.h"
#include "hvplug/resource_api.h"

namespace Common {

namespace Detail {
extern const uint8_t kBuiltinMessageTable[];
extern const size_t kBuiltinMessageTableSize;
}  // namespace Detail

namespace {

std::atomic<const uint8_t*> gActiveTable{Detail::kBuiltinMessageTable};
std::atomic<bool> gLanguageEventsSeen{false};

// Every accepted catalogue stays until unload: records point into them.
std::mutex gCataloguesMutex;
std::vector<char*>& Catalogues() {
  static std::vector<char*> catalogues;
  return catalogues;
}

void FreeCatalogues() {
  gActiveTable.store(Detail::kBuiltinMessageTable);
  std::lock_guard<std::mutex> lock(gCataloguesMutex);
  for (char* buffer : Catalogues()) delete[] buffer;
  Catalogues().clear();
}

void OnLanguageChange() { ReloadCatalogue(); }

void UnsubscribeLanguageEvents() { ResourceApi::UnsubscribeLanguageEvents(OnLanguageChange); }

void SubscribeLanguageEvents() {
  const int savedErrno = errno;
  ResourceApi::SubscribeLanguageEvents(OnLanguageChange);
  // Unload runs these in reverse: unsubscribe, then free the catalogues, and
  // the resource module (registered when first opened) closes after them.
  static std::once_flag once;
  std::call_once(once, [] {
    Catalogues();  // constructed first, so that it outlives FreeCatalogues
    RegisterUnloadAction(FreeCatalogues);
    RegisterUnloadAction(UnsubscribeLanguageEvents);
  });
  errno = savedErrno;
}

}  // namespace

const uint8_t* BuiltinMessageTable() { return Detail::kBuiltinMessageTable; }

const uint8_t* ActiveMessageTable() { return gActiveTable.load(std::memory_order_acquire); }

bool IsInActiveTable(const void* text) {
  const uint8_t* table = ActiveMessageTable();
  if (!table || !text) return false;
  const auto* p = static_cast<const uint8_t*>(text);
  return p >= table && p < table + LoadLe32(table);
}

bool IsValidMessageTable(const uint8_t* data, size_t size) {
  if (!data || size < 8 || LoadLe32(data) != size || LoadLe32(data + 4) != kMessageHeaderWords) return false;
  if (size < kMessageHeaderWords * 4) return false;
  for (uint32_t slot = 0; slot < kMessageSlotCount; ++slot) {
    const size_t slotPos = 8 + 4 * size_t{slot};
    const size_t textPos = slotPos + LoadLe32(data + slotPos);
    if (textPos < kMessageHeaderWords * 4 || textPos >= size || textPos % 2 != 0) return false;
    size_t end = textPos;
    while (end + 1 < size && (data[end] | data[end + 1]) != 0) end += 2;
    if (end + 1 >= size) return false;
  }
  return true;
}

const char16_t* LookUpMessage(const uint8_t* table, MessageId id) {
  if (!table || id >= kMessageSlotCount) return nullptr;
  const size_t slotPos = 8 + 4 * size_t{id};
  return reinterpret_cast<const char16_t*>(table + slotPos + LoadLe32(table + slotPos));
}

const char16_t* GetMessage(MessageId id) {
  if (!gLanguageEventsSeen.load(std::memory_order_acquire)) SubscribeLanguageEvents();
  return LookUpMessage(ActiveMessageTable(), id);
}

void ReloadCatalogue() {
  unsigned int size = 0;
  char* buffer = nullptr;
  if (ResourceApi::ModuleHandle* module = GetResourceModule())
    buffer = ResourceApi::LoadFile(module, "hvplug.msg", nullptr, &size);
  if (buffer && IsValidMessageTable(reinterpret_cast<const uint8_t*>(buffer), size)) {
    {
      std::lock_guard<std::mutex> lock(gCataloguesMutex);
      Catalogues().push_back(buffer);
    }
    gActiveTable.store(reinterpret_cast<const uint8_t*>(buffer), std::memory_order_release);
  } else {
    delete[] buffer;
    gActiveTable.store(BuiltinMessageTable(), std::memory_order_release);
  }
  gLanguageEventsSeen.store(true, std::memory_order_release);
}

}  // namespace Common
