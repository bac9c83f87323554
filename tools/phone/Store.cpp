#include "Store.h"

#include <algorithm>
#include <cctype>

namespace pdulink::phone {

std::optional<Memory> ParseMemory(std::string_view name) {
  std::string upper;
  for (char c : name) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  if (upper == "SM") return Memory::SM;
  if (upper == "ME") return Memory::ME;
  if (upper == "MT") return Memory::MT;
  return std::nullopt;
}

const char* MemoryName(Memory memory) {
  switch (memory) {
    case Memory::SM: return "SM";
    case Memory::ME: return "ME";
    case Memory::MT: return "MT";
  }
  return "?";
}

MessageStore::MessageStore(int smCapacity, int meCapacity)
    : sm_(static_cast<std::size_t>(std::max(0, smCapacity))), me_(static_cast<std::size_t>(std::max(0, meCapacity))) {}

int MessageStore::Total(Memory memory) const {
  switch (memory) {
    case Memory::SM: return static_cast<int>(sm_.size());
    case Memory::ME: return static_cast<int>(me_.size());
    case Memory::MT: return static_cast<int>(sm_.size() + me_.size());
  }
  return 0;
}

int MessageStore::Used(Memory memory) const {
  auto used = [](const auto& slots) {
    return static_cast<int>(std::count_if(slots.begin(), slots.end(), [](const auto& s) { return s.has_value(); }));
  };
  switch (memory) {
    case Memory::SM: return used(sm_);
    case Memory::ME: return used(me_);
    case Memory::MT: return used(sm_) + used(me_);
  }
  return 0;
}

bool MessageStore::SetCapacity(Memory memory, int capacity) {
  if (memory == Memory::MT || capacity < 0 || capacity > 1000) return false;
  auto& slots = memory == Memory::SM ? sm_ : me_;
  for (std::size_t i = static_cast<std::size_t>(capacity); i < slots.size(); ++i)
    if (slots[i]) return false;
  slots.resize(static_cast<std::size_t>(capacity));
  return true;
}

std::optional<StoredMessage>* MessageStore::Slot(Memory memory, int index) {
  if (!ValidIndex(memory, index)) return nullptr;
  auto i = static_cast<std::size_t>(index - 1);
  switch (memory) {
    case Memory::SM: return &sm_[i];
    case Memory::ME: return &me_[i];
    case Memory::MT: return i < sm_.size() ? &sm_[i] : &me_[i - sm_.size()];
  }
  return nullptr;
}

int MessageStore::Store(Memory memory, StoredMessage message) {
  for (int index = 1; index <= Total(memory); ++index) {
    auto* slot = Slot(memory, index);
    if (!slot->has_value()) {
      *slot = std::move(message);
      return index;
    }
  }
  return 0;
}

StoredMessage* MessageStore::At(Memory memory, int index) {
  auto* slot = Slot(memory, index);
  return slot && slot->has_value() ? &**slot : nullptr;
}

bool MessageStore::Erase(Memory memory, int index) {
  auto* slot = Slot(memory, index);
  if (!slot || !slot->has_value()) return false;
  slot->reset();
  return true;
}

std::vector<std::pair<int, StoredMessage*>> MessageStore::List(Memory memory) {
  std::vector<std::pair<int, StoredMessage*>> out;
  for (int index = 1; index <= Total(memory); ++index)
    if (auto* m = At(memory, index)) out.emplace_back(index, m);
  return out;
}

void MessageStore::Clear() {
  for (auto& s : sm_) s.reset();
  for (auto& s : me_) s.reset();
}

}  // namespace pdulink::phone
