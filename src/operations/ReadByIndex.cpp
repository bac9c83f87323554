// Messages read one by one by their storage index (AT+CMGR), archived and
// deleted under the same rules as a listing's: the receiving record says a
// listing is owed before the phone marks anything read, every message gets
// its name reserved in it before its files are written, and a message is
// deleted only once its files are on disk.
#include <QCheckBox>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "ReceivedRecord.h"
#include "Receiving.h"

void Receiving::ArchiveRead(const std::function<std::vector<ListedMessage>(bool& complete)>& read) {
  const std::string path = InBaseDir(ctx_.state, kReceivedRecordFile);
  ReceivedRecord record;
  if (!LoadReceivedRecord(path, record)) record.listing = true;
  const bool owedBefore = record.listing;
  if (!owedBefore) {
    record.listing = true;
    // Without the record nothing is read: the messages stay unread for the
    // next listing.
    if (!SaveRecord(record)) return;
  }
  bool complete = true;
  const std::vector<ListedMessage> messages = read(complete);
  bool settled = complete;
  if (!messages.empty()) {
    const std::vector<int> listed = ListedIndexes;
    readByIndex_ = true;
    settled = Settle(messages, complete, &record, false, false) && settled;
    readByIndex_ = false;
    ListedIndexes = listed;
  }
  // An earlier listing's debt stays for the next listing to pay.
  record.listing = owedBefore || !settled;
  SaveRecord(record);
  WriteJoined();
}
