// Message storage of the simulated phone.
//
// Two physical memories, "SM" (SIM) and "ME" (phone), each a row of slots with
// indexes from 1. "MT" is not a third store but the combined view that many
// handsets offer: SM's slots first (MT 1..capSM = SM 1..capSM), then ME's
// (MT capSM+1.. = ME 1..). Storing into MT fills SM first, then ME.
#pragma once

#include "Pdu.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink::phone {

// Message status in storage (TS 27.005 <stat> in PDU mode).
enum class MessageState { ReceivedUnread = 0, ReceivedRead = 1, StoredUnsent = 2, StoredSent = 3 };

struct StoredMessage {
  Bytes pdu;  // with the service-centre field
  MessageState state = MessageState::ReceivedUnread;
};

enum class Memory { SM, ME, MT };

std::optional<Memory> ParseMemory(std::string_view name);  // case-insensitive
const char* MemoryName(Memory memory);

class MessageStore {
 public:
  MessageStore(int smCapacity = 30, int meCapacity = 100);

  int Total(Memory memory) const;
  int Used(Memory memory) const;
  // Changes a physical memory's capacity; fails when a message sits beyond it.
  bool SetCapacity(Memory memory, int capacity);

  // Stores into the first free slot and returns its index in that view, or 0
  // when the memory is full.
  int Store(Memory memory, StoredMessage message);
  StoredMessage* At(Memory memory, int index);
  bool Erase(Memory memory, int index);  // false when empty or out of range
  bool ValidIndex(Memory memory, int index) const { return index >= 1 && index <= Total(memory); }

  // Occupied slots of a view in index order.
  std::vector<std::pair<int, StoredMessage*>> List(Memory memory);
  void Clear();

 private:
  // Resolves a view index to a physical slot.
  std::optional<StoredMessage>* Slot(Memory memory, int index);
  std::vector<std::optional<StoredMessage>> sm_;
  std::vector<std::optional<StoredMessage>> me_;
};

}  // namespace pdulink::phone
