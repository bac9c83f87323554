#include "Indications.h"

#include <algorithm>
#include <utility>

#include "Journal.h"
#include "Receiving.h"
#include "Transaction.h"

namespace {
// A line longer than this is no indication: its start is not kept.
constexpr std::size_t kLongestLine = 64;
}  // namespace

Indications::Indications(Context& ctx, Transaction& dialogue, Receiving& receiving)
    : ctx_(ctx), dialogue_(dialogue), receiving_(receiving) {}

void Indications::Seen(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) break;
    std::string_view line = text.substr(start, end - start);
    std::string joined;
    if (!partial_.empty()) {
      joined = partial_ + std::string(line);
      partial_.clear();
      line = joined;
    }
    if (auto ind = ParseIndicationLine(line)) {
      // One note per message: the same index indicated again is the same
      // slot until it is read.
      const bool known = std::any_of(notes_.begin(), notes_.end(), [&](const Indication& n) {
        return n.index == ind->index && n.memory == ind->memory;
      });
      if (!known) notes_.push_back(std::move(*ind));
    }
    start = end + 1;
  }
  const std::string_view rest = text.substr(start);
  if (partial_.size() + rest.size() <= kLongestLine) {
    partial_ += rest;
  } else {
    partial_.clear();
  }
  pending_.store(notes_.size());
}

std::vector<Indication> Indications::TakeNotes() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Indication> notes;
  notes.swap(notes_);
  pending_.store(0);
  return notes;
}

void Indications::Forget() { TakeNotes(); }

void Indications::Listed(const std::vector<ListedMessage>& listed) {
  std::lock_guard<std::mutex> lock(mutex_);
  notes_.erase(std::remove_if(notes_.begin(), notes_.end(),
                              [&](const Indication& n) {
                                return std::any_of(listed.begin(), listed.end(),
                                                   [&](const ListedMessage& m) { return m.index == n.index; });
                              }),
               notes_.end());
  pending_.store(notes_.size());
}

void Indications::ReadNoted(const std::string& memory) {
  std::vector<Indication> notes = TakeNotes();
  // The notes by memory: the memory read first, then each other one, which
  // is selected for the reading and its deletes and then left again.
  std::vector<std::pair<std::string, std::vector<int>>> byMemory;
  for (const Indication& n : notes) {
    const std::string from = memory.empty() ? std::string() : n.memory;
    auto it = std::find_if(byMemory.begin(), byMemory.end(), [&](const auto& m) { return m.first == from; });
    if (it == byMemory.end()) it = byMemory.insert(from == memory ? byMemory.begin() : byMemory.end(), {from, {}});
    it->second.push_back(n.index);
  }
  for (const auto& [from, indexes] : byMemory) {
    const bool other = from != memory;
    if (other && !CommandWithFinalReply(dialogue_, "AT+CPMS=" + from + "\r")) {
      ctx_.journal.WriteLog("Indicated messages in " + from + " not read (memory not selected): left to the listing");
      continue;
    }
    ReadIndexes(indexes);
    if (other && !CommandWithFinalReply(dialogue_, "AT+CPMS=" + memory + "\r"))
      ctx_.journal.WriteLog("Memory " + memory + " not selected again after reading " + from);
  }
}

void Indications::ReadIndexes(const std::vector<int>& indexes) {
  receiving_.ArchiveRead([&](bool& complete) {
    std::vector<ListedMessage> read;
    for (int index : indexes) {
      const std::string command = "AT+CMGR=" + std::to_string(index) + "\r";
      if (!AskWhole(dialogue_, command)) {
        // No whole reply: the phone may have marked it read; the next
        // listing picks it up.
        complete = false;
        continue;
      }
      auto pdu = ParseCmgrPdu(dialogue_.CaptureText);
      if (!pdu) {
        ctx_.journal.WriteLog("Indicated message " + std::to_string(index) + " is no longer on the phone");
        continue;
      }
      read.push_back({index, std::move(*pdu)});
    }
    return read;
  });
}
