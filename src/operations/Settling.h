#pragma once
// What one settling of listed messages works through, shared by its steps
// (Listing.cpp, PickUp.cpp). Not for callers of Receiving.
#include <algorithm>
#include <string>
#include <vector>

#include "ReceivedRecord.h"
#include "Receiving.h"

struct Receiving::Settling {
  Settling(const std::vector<ListedMessage>& l, ReceivedRecord* r)
      : listed(l), record(r), names(l.size()), before(l.size()), digests(l.size()) {}

  const std::vector<ListedMessage>& listed;
  ReceivedRecord* record;  // null: no record (not archiving and deleting both)
  // Per listed message: the name reserved for its files, the stem of the
  // files an earlier pass wrote (when it did), its digest.
  std::vector<std::string> names, before, digests;
  std::vector<std::string> touched;  // stems of record entries this listing accounts for
  // Per listed index: why its message is not safely kept (empty when it is),
  // its archive in the record, and the listed message it is.
  std::vector<std::string> notKept, stems;
  std::vector<size_t> listedAt;
  bool allKept = true;
  bool stepsDone = false;  // the record learnt of steps done

  // The record's entry of the archive stem, or null.
  ArchivedEntry* EntryOf(const std::string& stem) {
    for (ArchivedEntry& e : record->archived)
      if (e.stem == stem) return &e;
    return nullptr;
  }
  // Drops the record's entries of stem (a copy: stem may be one of theirs).
  void Forget(std::string stem) {
    auto& a = record->archived;
    a.erase(std::remove_if(a.begin(), a.end(), [&](const ArchivedEntry& e) { return e.stem == stem; }), a.end());
  }
  // Every message still counted as kept is kept on the phone after all.
  void KeepAllOnPhone(const std::string& why) {
    for (std::string& w : notKept)
      if (w.empty()) w = why;
    allKept = false;
  }
};
