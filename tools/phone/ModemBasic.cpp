// Basic commands and identification: echo, reset, verbose and quiet
// results, S-registers, the identity of the phone, the character set, the
// alert mode, error reporting and the battery.
#include <cstdio>
#include <map>

#include "ModemParts.h"

namespace pdulink::phone {

using F = Modem::Command::Form;

const std::vector<Modem::CommandRow>& Modem::BasicCommands() {
  static const std::vector<CommandRow> rows = {
      {"E", &Modem::Echo},
      {"Z", &Modem::ResetCommand},
      {"&F", &Modem::ResetCommand},
      {"I", &Modem::Identify},
      {"V", &Modem::Verbose},
      {"Q", &Modem::Quiet},
      {"&C", &Modem::Accepted},
      {"&D", &Modem::Accepted},
      {"&K", &Modem::Accepted},
      {"X", &Modem::Accepted},
      {"S", &Modem::SRegister},
      {"+CGMI", &Modem::Manufacturer},
      {"+GMI", &Modem::Manufacturer},
      {"+CGMM", &Modem::Model},
      {"+GMM", &Modem::Model},
      {"+CGMR", &Modem::Revision},
      {"+GMR", &Modem::Revision},
      {"+CGSN", &Modem::SerialNumber},
      {"+GSN", &Modem::SerialNumber},
      {"+CIMI", &Modem::Imsi},
      {"+CSCS", &Modem::Cscs},
      {"+CALM", &Modem::Calm},
      {"+CMEE", &Modem::Cmee},
      {"+CBC", &Modem::Cbc},
  };
  return rows;
}

void Modem::ResetProfile() {
  echo_ = true;
  cmgf_ = 0;
  cscs_ = "IRA";
  std::fill(std::begin(cnmi_), std::end(cnmi_), 0);
  clip_ = 0;
  cmee_ = 0;
  creg_ = 0;
  csms_ = 0;
}

Modem::Result Modem::Echo(const Command& cmd) {
  const std::string& a = cmd.args;
  if (a.empty() || a == "0") echo_ = false;
  else if (a == "1") echo_ = true;
  else return {Final::Error, 0};
  return {};
}

Modem::Result Modem::ResetCommand(const Command& cmd) {
  const std::string& a = cmd.args;
  if (!a.empty() && a != "0") return {Final::Error, 0};
  ResetProfile();
  return {};
}

Modem::Result Modem::Identify(const Command&) {
  Info(settings.manufacturer + "\r\n" + settings.model + "\r\nREVISION " + settings.revision);
  return {};
}

// Only verbose results.
Modem::Result Modem::Verbose(const Command& cmd) {
  return cmd.args.empty() || cmd.args == "1" ? Result{} : Result{Final::Error, 0};
}

Modem::Result Modem::Quiet(const Command& cmd) {
  return cmd.args.empty() || cmd.args == "0" ? Result{} : Result{Final::Error, 0};
}

// &C, &D, &K and X: accepted, nothing changes.
Modem::Result Modem::Accepted(const Command&) { return {}; }

Modem::Result Modem::SRegister(const Command& cmd) {
  const std::string& a = cmd.args;
  auto eq = a.find('=');
  if (a.substr(0, eq).size() > 3) return {Final::Error, 0};
  int reg = std::stoi(a.substr(0, eq));
  if (cmd.form == Command::Form::Read) {
    static const std::map<int, int> kDefaults = {{3, 13}, {4, 10}, {5, 8}};
    int value = sRegisters_.count(reg) ? sRegisters_[reg] : (kDefaults.count(reg) ? kDefaults.at(reg) : 0);
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03d", value);
    Info(buf);
    return {};
  }
  std::string value = a.substr(eq + 1);
  if (value.empty() || value.size() > 3 || std::stoi(value) > 255) return {Final::Error, 0};
  sRegisters_[reg] = std::stoi(value);
  return {};
}

Modem::Result Modem::Identity(const Command& cmd, const std::string& value) {
  if (cmd.form == F::Test) return {};
  if (cmd.form != F::Action) return {Final::Error, 0};
  Info(value);
  return {};
}

Modem::Result Modem::Manufacturer(const Command& cmd) { return Identity(cmd, settings.manufacturer); }
Modem::Result Modem::Model(const Command& cmd) { return Identity(cmd, settings.model); }
Modem::Result Modem::Revision(const Command& cmd) { return Identity(cmd, settings.revision); }
Modem::Result Modem::SerialNumber(const Command& cmd) { return Identity(cmd, settings.imei); }
Modem::Result Modem::Imsi(const Command& cmd) { return Identity(cmd, settings.imsi); }

Modem::Result Modem::Cscs(const Command& cmd) {
  std::vector<Param> ps = SetParams(cmd);
  switch (cmd.form) {
    case F::Test: Info("+CSCS: (\"GSM\",\"UCS2\",\"IRA\")"); return {};
    case F::Read: Info("+CSCS: \"" + cscs_ + "\""); return {};
    case F::Set: {
      std::string set = ps.size() == 1 ? Upper(ps[0].value) : "";
      if (set != "GSM" && set != "UCS2" && set != "IRA") return CmeError(kCmeNotSupported);
      cscs_ = set;
      return {};
    }
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

Modem::Result Modem::Calm(const Command& cmd) {
  std::vector<Param> ps = SetParams(cmd);
  switch (cmd.form) {
    case F::Test: Info("+CALM: (0,1)"); return {};
    case F::Read: Info("+CALM: " + std::to_string(calm_)); return {};
    case F::Set: return ps.size() == 1 && ToInt(ps[0], calm_, 0, 1) ? Result{} : CmeError(kCmeNotSupported);
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

Modem::Result Modem::Cmee(const Command& cmd) {
  std::vector<Param> ps = SetParams(cmd);
  switch (cmd.form) {
    case F::Test: Info("+CMEE: (0-2)"); return {};
    case F::Read: Info("+CMEE: " + std::to_string(cmee_)); return {};
    case F::Set: return ps.size() == 1 && ToInt(ps[0], cmee_, 0, 2) ? Result{} : CmeError(kCmeNotSupported);
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

Modem::Result Modem::Cbc(const Command& cmd) {
  if (cmd.form == F::Test) Info("+CBC: (0-3),(0-100)");
  else if (cmd.form == F::Action)
    Info("+CBC: " + std::to_string(settings.batteryStatus) + "," + std::to_string(settings.batteryLevel));
  else return {Final::Error, 0};
  return {};
}

}  // namespace pdulink::phone
