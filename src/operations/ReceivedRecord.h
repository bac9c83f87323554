#pragma once
// What the receiving side still owes the phone's messages, kept in a small
// file in the working directory. A listing marks the messages it lists as
// read, so a message that was listed but not archived (a save failure, a
// reply cut short, the program killed part way) is never listed as new
// again. The record says that such messages may be waiting, and remembers
// every message archived but not yet deleted, so that a later listing of the
// read messages archives what is missing and nothing twice.
#include <string>
#include <string_view>
#include <vector>

#include "own_files.h"

// The record's file name, in the working directory.
inline constexpr const char* kReceivedRecordFile = pdulink::kOwedRecordFileName.data();

// What has been done for an archived message, kept until the phone confirms
// its delete, so that a pass after a failure retries only what failed.
struct ArchiveSteps {
  bool files = false;  // its .txt and .xml (or its .pdu) written and synced
  bool line = false;   // its collective line appended, or none due
  bool told = false;   // the Received hook told of it
  bool Any() const { return files || line || told; }
  bool All() const { return files && line && told; }
};

struct ArchivedEntry {
  std::string digest;  // PduDigest of the message
  std::string stem;    // the archive files without extension, as a path
  ArchiveSteps done;   // nothing: reserved, or recorded before steps were kept
};

struct ReceivedRecord {
  // Messages marked read on the phone may not be archived yet: a listing of
  // the received read messages is owed.
  bool listing = false;
  // Messages archived (or about to be) and not yet deleted from the phone.
  std::vector<ArchivedEntry> archived;

  bool Empty() const { return !listing && archived.empty(); }
};

// The file's text: "listing" on a line of its own when owed, then one line
// per archived message: digest, blank, stem. Steps done follow the digest
// after a "/" ("f" files, "c" collective line, "h" hook told).
std::string FormatReceivedRecord(const ReceivedRecord& record);
// Reads that text back; lines it does not know are skipped.
ReceivedRecord ParseReceivedRecord(std::string_view text);

// A digest of one PDU as its hexadecimal digits (upper case, anything else
// dropped): the same message gives the same digest in every listing.
std::string PduDigest(std::string_view pduHex);

// Reads the record; a missing file is an empty record. False when the file
// is there but cannot be read (the caller then assumes a listing is owed).
bool LoadReceivedRecord(const std::string& path, ReceivedRecord& record);
// Writes the record durably (a temporary file synced and renamed over the
// old one, then the directory synced). A record that only owes a listing is
// written in place with only the directory synced, and a file found empty
// reads as owing one. An empty record removes the file, without a sync.
bool SaveReceivedRecord(const std::string& path, const ReceivedRecord& record, std::string* why);

// Whether the archive of stem is complete on disk: its .txt and .xml files,
// or the .pdu file of a message that could not be decoded.
bool StemArchived(const std::string& stem);
// Removes what a write cut short may have left of stem's files.
void RemoveStemFiles(const std::string& stem);
