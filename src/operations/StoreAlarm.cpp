#include "StoreAlarm.h"

#include "FormState.h"
#include "Journal.h"
#include "Replies.h"
#include "Transaction.h"

StoreAlarm::StoreAlarm(Context& ctx, Transaction& dialogue)
    : state_(ctx.state), journal_(ctx.journal), dialogue_(dialogue) {}

bool StoreAlarm::On() const { return state_.StoreAlarm > 0; }

void StoreAlarm::Alarm(const std::string& name, const std::string& value) {
  if (OnAlarm) OnAlarm(name, value);
}

std::string StoreAlarm::StatusText() const {
  if (state_.StoreTotal <= 0) return state_.StoreFull ? "full" : "";
  std::string text = memory_ + " " + std::to_string(state_.StoreUsed) + " of " + std::to_string(state_.StoreTotal) +
                     " used (" + std::to_string(state_.StoreUsed * 100 / state_.StoreTotal) + " %)";
  return state_.StoreFull ? text + ", full" : text;
}

void StoreAlarm::Check() {
  if (!On()) return;
  if (!AskWhole(dialogue_, "AT+CPMS?\r")) return;
  const auto use = ParseCpmsRead(dialogue_.CaptureText);
  if (!use) return;
  memory_ = use->memory;
  state_.StoreUsed = use->used;
  state_.StoreTotal = use->total;
  const int percent = use->used * 100 / use->total;
  const std::string said = "Message store " + use->memory + ": " + std::to_string(use->used) + " of " +
                           std::to_string(use->total) + " used (" + std::to_string(percent) + " %)";
  const bool above = percent >= state_.StoreAlarm;
  if (above && !above_) {
    journal_.WriteLog(said + ", StoreAlarm=" + std::to_string(state_.StoreAlarm) + " reached");
    Alarm("store", std::to_string(percent));
  } else if (!above && above_) {
    journal_.WriteLog(said + ", below StoreAlarm=" + std::to_string(state_.StoreAlarm) + " again");
    Alarm("store-ok", std::to_string(percent));
  }
  above_ = above;
  if (use->used >= use->total) Full(std::to_string(use->used) + " of " + std::to_string(use->total) + " used");
  else state_.StoreFull = false;
}

void StoreAlarm::Seen(const std::string& text) {
  if (!On()) return;
  const std::string line = StoreFullLine(text);
  if (!line.empty()) Full(line);
}

void StoreAlarm::Full(const std::string& why) {
  if (state_.StoreFull) return;  // said once until the store has room again
  state_.StoreFull = true;
  journal_.WriteLog("Message store full (" + why + "): no message can arrive until it is emptied");
  Alarm("store-full", why);
}
