#include "ServiceCentre.h"

#include <sys/stat.h>

#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QToolButton>
#include <cstdio>
#include <fstream>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "MessageBox.h"
#include "Transaction.h"
#include "text_helpers.h"

pdulink::StoredValidity ReadValidityFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return pdulink::ParseValidityFile(false, false, {});
  std::ifstream in(path, std::ios::binary);
  std::string line;
  bool ok = false;
  if (in) {
    char buf[4096];
    in.read(buf, sizeof buf);
    ok = !in.bad() && (in.gcount() > 0 || in.eof());
    line.assign(buf, static_cast<size_t>(in.gcount()));
    size_t eol = line.find_first_of("\r\n");
    if (eol != std::string::npos) line.resize(eol);
  }
  return pdulink::ParseValidityFile(true, ok, line);
}

ServiceCentre::ServiceCentre(Context& ctx, Transaction& dialogue) : ctx_(ctx), dialogue_(dialogue) {}

std::string ServiceCentre::ValidityPath() const { return InBaseDir(ctx_.state, kValidityFile); }

std::uint8_t ServiceCentre::ReadValidityPeriod() {
  pdulink::StoredValidity s = ReadValidityFile(ValidityPath());
  if (!s.journalLine.empty()) ctx_.journal.WriteLog(s.journalLine);
  ctx_.ui.se_vp_rByte->setValue(s.value);
  return s.value;
}

void ServiceCentre::se_vp_rByteChange() {
  ctx_.ui.l_VPComment->setText(
      QString::fromStdString(pdulink::ValidityPeriodLabel(static_cast<unsigned>(ctx_.ui.se_vp_rByte->value()))));
}

void ServiceCentre::b_save_sendClick() {
  const std::string text = std::to_string(ctx_.ui.se_vp_rByte->value()) + "\r\n";
  bool ok = false;
  if (std::FILE* f = std::fopen(ValidityPath().c_str(), "wb")) {
    ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
  }
  ShowMessage(ok ? "OK Save File: sms_vp.ini" : "Error Save File: sms_vp.ini");
}

void ServiceCentre::SaveSmsc() {
  std::string type;
  std::string digits = pdulink::NormalizePhone(ToAnsi(ctx_.ui.ed_smsc->text()), type);
  ctx_.ui.ed_smsc->setText(FromAnsi(digits));
  if (digits.empty()) {
    ctx_.journal.WriteLog("Invalid SMSC");
  } else {
    dialogue_.SendCommand("AT+CSCS=\"GSM\"\r");
    dialogue_.SendCommand("AT+CSCA=+" + digits + "\r");
  }
  ctx_.ui.sb_saveSmsc->setChecked(false);
}
