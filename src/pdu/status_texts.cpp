// Texts of the TP-Status and relative validity period values that the
// decoder shows beside a status report or an SMS-SUBMIT.
#include "sms_decode.h"

namespace pdulink {

std::string StatusReportText(std::uint8_t s) {
  const char* base = "Reserved (Service Rejected)";
  switch (s) {
    case 0x00: base = "Short message received by the SME"; break;
    case 0x01:
      base = "Short message forwarded by the SC to the SME but the SC is unable to confirm delivery";
      break;
    case 0x02: base = "Short message replaced by the SC"; break;
    case 0x20: case 0x60: base = "Congestion"; break;
    case 0x21: case 0x61: base = "SME busy"; break;
    case 0x22: case 0x62: base = "No response from SME"; break;
    case 0x23: case 0x63: base = "Service rejected"; break;
    case 0x24: case 0x44: case 0x64: base = "Quality of service not available"; break;
    case 0x25: case 0x65: base = "Error in SME"; break;
    case 0x40: base = "Remote procedure error"; break;
    case 0x41: base = "Incompatible destination"; break;
    case 0x42: base = "Connection rejected by SME"; break;
    case 0x43: base = "Not obtainable"; break;
    case 0x45: base = "No interworking available"; break;
    case 0x46: base = "SM Validity Period Expired"; break;
    case 0x47: base = "SM Deleted by originating SME"; break;
    case 0x48: base = "SM Deleted by SC Administration"; break;
    case 0x49:
      base = "SM does not exist (The SM may have previously existed in the SC but the SC no longer "
             "has knowledge of it or the SM may never have previously existed in the SC)";
      break;
    default:
      if ((s >= 0x10 && s <= 0x1F) || (s >= 0x30 && s <= 0x3F) || (s >= 0x50 && s <= 0x5F) ||
          (s >= 0x70 && s <= 0x7F)) {
        base = "Values specific to each SC";
      } else if (s >= 0x26 && s <= 0x2F) {
        base = "Reserved";
      }
      break;
  }
  const char* category = "";
  if (s <= 0x02) {
    category = "Short message transaction completed";
  } else if (s >= 0x20 && s <= 0x3F) {
    category = "Temporary error, SC still trying to transfer SM";
  } else if (s >= 0x40 && s <= 0x5F) {
    category = "Permanent error, SC is not making any more transfer attempts";
  } else if (s >= 0x60 && s <= 0x7F) {
    category = "Temporary error, SC is not making any more transfer attempts";
  }
  std::string_view b = base, c = category;
  std::string out;
  out.reserve(b.size() + c.size() + 3);
  out.append(b).append(" (").append(c).push_back(')');
  return out;
}

std::string ValidityPeriodText(std::uint8_t v) {
  if (v <= 143) return std::to_string((unsigned(v) + 1) * 5) + " min";
  if (v <= 167) return std::to_string(720 + (unsigned(v) - 143) * 30) + " min";
  if (v <= 196) return std::to_string(unsigned(v) - 166) + " days";
  return std::to_string(unsigned(v) - 192) + " weeks";
}

}  // namespace pdulink
