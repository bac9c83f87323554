#pragma once
// The service centre and the validity period of outgoing messages, both on
// the Send page: the stored validity period (sms_vp.ini) with its label and
// Save button, and the step of the duty pass that stores a new service
// centre in the phone.
#include <cstdint>
#include <string>

#include "Context.h"
#include "own_files.h"
#include "sms_submit.h"

class Transaction;

// Reads the first line of the validity-period file at path (a missing file
// is no error). At most 4 KiB of it are read: a valid line is far shorter.
pdulink::StoredValidity ReadValidityFile(const std::string& path);

class ServiceCentre {
 public:
  ServiceCentre(Context& ctx, Transaction& dialogue);

  static constexpr const char* kValidityFile = pdulink::kValidityFileName.data();

  // The stored validity period (167 when none is valid), with its journal
  // line; also shown in se_vp_rByte.
  std::uint8_t ReadValidityPeriod();
  // Rewrites l_VPComment from se_vp_rByte.
  void se_vp_rByteChange();
  // Writes se_vp_rByte into sms_vp.ini and says so in a message box.
  void b_save_sendClick();
  // Duty step while sb_saveSmsc is down: the number of ed_smsc goes to the
  // phone in international form; releases sb_saveSmsc.
  void SaveSmsc();

  std::string ValidityPath() const;

 private:
  Context& ctx_;
  Transaction& dialogue_;
};
