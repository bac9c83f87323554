// The hook programs in the gateway: the keys OnReceived, OnSent, OnFailed,
// OnCall, OnReport and HookTimeout of [Main], the runner built from them,
// and the events of the parts turned into hook events once their files are
// on disk. Without the keys nothing here runs.
#include <QDir>
#include <unistd.h>

#include "Calls.h"
#include "DeliveryReports.h"
#include "FormState.h"
#include "Gateway.h"
#include "HookRunner.h"
#include "IniFile.h"
#include "Journal.h"
#include "QtUiDispatcher.h"
#include "Receiving.h"
#include "Replies.h"
#include "Sending.h"
#include "Settings.h"
#include "StoreAlarm.h"
#include "Transaction.h"
#include "WatchTurn.h"
#include "archive_files.h"
#include "codepage.h"
#include "text_helpers.h"

namespace {

// Hooks run in pdulink's working directory, but may change it: they get
// absolute paths.
std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return QDir::currentPath().toStdString() + "/" + path;
}

}  // namespace

void Gateway::StartHooks(const IniFile& ini) {
  HookSettings settings;
  for (size_t k = 0; k < kHookKinds; ++k) {
    const std::string value = ini.Read(kMainSection, HookKey(static_cast<HookKind>(k)), "");
    // The configuration is Windows-1251, as for LogDir; the file system's
    // names are UTF-8.
    settings.programs[k] = pdulink::AnsiToUtf8(pdulink::TrimBlanks(value));
  }
  const std::string timeout = ini.Read(kMainSection, "HookTimeout", "");
  if (!timeout.empty()) {
    auto seconds = ParseInt(pdulink::TrimBlanks(timeout));
    if (seconds && *seconds >= 1) settings.timeout = std::chrono::seconds(*seconds);
    else journal_->WriteLog("Error HookTimeout in INIFile (seconds): " + std::to_string(kHookTimeoutDefault) + " used");
  }
  hooks_.reset();
  receiving_->OnArchived = nullptr;
  storeAlarm_->OnAlarm = nullptr;
  watchTurn_->OnRenamed = nullptr;
  if (!settings.Any()) return;
  QtUiDispatcher* ui = dispatcher_.get();
  hooks_ = std::make_unique<HookRunner>(
      settings, [ui](std::function<void()> call) { ui->Post(std::move(call)); },
      [this](const std::string& utf8) { journal_->WriteLogUtf8(utf8); });

  if (hooks_->Has(HookKind::Received)) {
    receiving_->OnArchived = [this](const ArchivedMessage& m) {
      hooks_->Fire({HookKind::Received, {Absolute(m.txtPath), Absolute(m.xmlPath)}, m.number, m.text, ""});
    };
  }
  if (hooks_->Has(HookKind::Alarm)) {
    storeAlarm_->OnAlarm = [this](const std::string& name, const std::string& value) {
      hooks_->Fire({HookKind::Alarm, {name, pdulink::AnsiToUtf8(value)}, "", "", ""});
    };
  }
  if (hooks_->Has(HookKind::Sent) || hooks_->Has(HookKind::Failed)) {
    watchTurn_->OnRenamed = [this](const WatchTurn::Settled& s) {
      // The new name reaches the disk before a hook is told of it.
      pdulink::SyncParentDirectory(s.fsPath);
      const bool utf8 = state_.Utf8Files;
      auto text = [utf8](const std::string& t) { return utf8 ? t : pdulink::AnsiToUtf8(t); };
      hooks_->Fire({s.suffix == ".snd" ? HookKind::Sent : HookKind::Failed, {Absolute(s.fsPath)}, text(s.number),
                    text(s.body), s.references});
    };
  }
}

int Gateway::ManualSend(const std::string& number, const std::string& body) {
  const bool hooked = hooks_ && (hooks_->Has(HookKind::Sent) || hooks_->Has(HookKind::Failed));
  if (!hooked) return CountedSend(number, body, {});
  // A message typed by hand has no file: its hook gets no argument.
  std::string references, sentText = body;
  SendHooks sendHooks;
  sendHooks.Text = [&](const std::string& text) { sentText = text; };
  sendHooks.Reference = [&](int seq, int total, int mr) {
    reports_->Sent("", number, seq, total, mr);  // as CountedSend does for a message sent by hand
    if (!references.empty()) references += ' ';
    references += std::to_string(mr);
  };
  const int rc = CountedSend(number, body, sendHooks);
  const bool utf8 = state_.Utf8Files;
  auto text = [utf8](const std::string& t) { return utf8 ? t : pdulink::AnsiToUtf8(t); };
  hooks_->Fire({rc >= 0 ? HookKind::Sent : HookKind::Failed, {}, text(number), text(sentText), references});
  return rc;
}

std::string Gateway::CheckIncomingCall() {
  const std::string result = calls_->CheckIncomingCall();
  if (result.empty() || !hooks_ || !hooks_->Has(HookKind::Call)) return result;
  // "OK": hung up without a number recorded. Otherwise the caller, with the
  // files of its record when the call was saved as a message.
  HookEvent event{HookKind::Call, {}, "", "", ""};
  if (result != "OK") {
    event.number = pdulink::AnsiToUtf8(result);
    const ArchivedMessage& m = receiving_->LastArchived;
    if (!m.txtPath.empty()) {
      event.files = {Absolute(m.txtPath), Absolute(m.xmlPath)};
      event.text = m.text;
    }
  }
  hooks_->Fire(std::move(event));
  return result;
}

void Gateway::RunReportHook(const std::string& reportFile, const std::string& sentFile, const std::string& number,
                            const std::string& statusText, const std::string& reference) {
  if (!hooks_) return;
  hooks_->Fire({HookKind::Report, {Absolute(reportFile), Absolute(sentFile)}, number, statusText, reference});
}
