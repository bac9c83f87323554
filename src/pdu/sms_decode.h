// Decoder of one short message as a phone lists it in PDU mode (TS 27.005):
// the service-centre address field followed by an SMS-DELIVER, SMS-SUBMIT
// or SMS-STATUS-REPORT TPDU (TS 23.040), in hexadecimal text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pdulink {

// TP-MTI values (TS 23.040 9.2.3.1) as far as this decoder knows them.
enum class MessageType : std::uint8_t { Deliver = 0, Submit = 1, StatusReport = 2, Reserved = 3 };

// Bits 3..2 of the data coding scheme (TS 23.038 4).
inline constexpr std::uint8_t kCoding7Bit = 0x00;
inline constexpr std::uint8_t kCoding8Bit = 0x04;
inline constexpr std::uint8_t kCodingUcs2 = 0x08;

// Type of address of an alphanumeric originator (TS 23.040 9.1.2.5).
inline constexpr std::uint8_t kAddrTypeAlphanumeric = 0xD0;

// Error texts of the decoder, byte-exact as the journal shows them.
namespace decode_error {
inline constexpr std::string_view kLength = "length of SMS error";
inline constexpr std::string_view kNoSmsc = "LenSMSC<1";
inline constexpr std::string_view kSmscNotInternational =
    "ServiceCenter telephone is not international format of SMSC tel";
inline constexpr std::string_view kReservedType = "Reserved Message Type";
inline constexpr std::string_view kCoding = "? Text Coding";
inline constexpr std::string_view kByte = "Get Byte error";
inline constexpr std::string_view kNibble = "Get nible error";
inline constexpr std::string_view kBit = "Get 1Bit Error";
inline constexpr std::string_view kSeptet = "Get 7-bit error";
inline constexpr std::string_view kTimeStamp = "Get TimeStamp error";
}  // namespace decode_error

// Decodes one PDU into the public fields below. Any input, of any length,
// yields either the fields or HasError with ErrorText; reads never leave the
// input. Texts are cp1251. Create one per message; Decode may be called
// again, and starts from a clean state each time.
class tSMSDecode {
 public:
  std::uint8_t SmscLen = 0;    // octets of service-centre type and number
  std::uint8_t SmscType = 0;   // must be 0x91
  std::string SmscNumber;      // digits, filler "F" dropped
  std::uint8_t FirstOctet = 0;
  bool Udhi = false;           // bit 6 of FirstOctet: user-data header present
  std::uint8_t AddrLen = 0;    // semi-octets of the address
  std::uint8_t AddrType = 0;
  std::string Address;         // originator, destination or recipient
  std::uint8_t Pid = 0;
  std::uint8_t Dcs = 0;
  std::uint8_t Mti = 0;        // FirstOctet & 3, see MessageType
  std::uint8_t Coding = 0;     // Dcs & 0x0C: kCoding7Bit, kCoding8Bit, kCodingUcs2
  std::string TimeText;        // SC time stamp, or validity period of a SUBMIT
  std::uint8_t MessageRef = 0;
  std::uint8_t Vpf = 0;        // (FirstOctet >> 3) & 3
  std::uint8_t VpByte = 0;
  std::string DischargeTime;
  int TimeZoneQuarters = 0;       // zone of TimeText, signed quarters of an hour (the text: whole hours)
  int DischargeZoneQuarters = 0;  // zone of DischargeTime
  std::uint8_t Status = 0;
  std::string StatusText;
  std::uint8_t ParamIndicator = 0;
  std::uint8_t Udl = 0;        // as received, then reduced by the header part
  std::uint8_t Udhl = 0;
  std::string HeaderHex;       // the Udhl header octets as hex
  bool IsConcatenated = false;
  std::uint16_t ConcatRef = 0;
  std::uint8_t ConcatTotal = 0;
  std::uint8_t ConcatPart = 0;
  // National language shift tables the header names (IEI 0x24 single
  // shift, 0x25 locking shift; TS 23.038 6.2.1.2.4 identifiers), 0 for the
  // default alphabet and its extension table. The 7-bit text is read with
  // them.
  std::uint8_t SingleShift = 0;
  std::uint8_t LockingShift = 0;
  std::string Text;
  std::int32_t OctetCount = 0;
  bool HasError = false;
  std::string ErrorText;
  std::string Hex;             // cleaned input, the two digits of each octet swapped
  std::int32_t OctetIndex = 0; // read position: octet
  std::int32_t BitIndex = 0;   // read position inside the octet
  // Set before Decode (kept by it): Text and an alphanumeric Address in
  // UTF-8 with every character (7-bit with the extension table, UCS2 with
  // surrogate pairs), and 8-bit data as hex, instead of cp1251.
  bool Utf8 = false;

  // Parses the hex text; the outcome is in the fields.
  void Decode(std::string_view pduHex);

  // The read primitives under Decode. A failed read sets its error text,
  // delivers nothing and leaves the position where it was; a successful
  // GetByte, GetNibble or Get1Bit clears the error.
  void SetError(std::string_view text);
  bool GetByte(std::uint8_t& value);
  bool GetNibble(char& character, int& value);  // "0" and 0 on failure
  int Get1Bit();
  std::uint8_t Get7Bit();
  std::string GetTimeStamp(int* zoneQuarters = nullptr);
  // Looks for concatenation elements (IEI 00 and 08) and the national
  // language shift elements (IEI 24 and 25) in HeaderHex.
  void ParseHeader();

 private:
  void Reset();
  void ClearError() {
    if (HasError) SetError({});
  }
  // Reads `count` semi-octets, appending each that is not "F" to `out`.
  bool ReadDigits(unsigned count, std::string& out);
  bool ReadAddressDigits();
  // Reads `count` septets and appends them, as cp1251 text, to `out`;
  // false when one of them ran past the end.
  bool ReadSeptetText(unsigned count, std::string& out);
  // Its fast path, when every septet is there.
  void ReadWholeSeptetText(unsigned count, std::string& out);
  // The same in UTF-8 (Utf8 set).
  bool ReadSeptetUtf8(unsigned count, std::string& out);
  // The septets themselves, one a byte; false when one ran past the end.
  bool ReadSeptets(unsigned count, std::string& septets);
  // Text with the national tables of the header.
  bool ReadShiftedText(unsigned count, std::string& out);
  void ReadUserData();
  // The steps of ReadUserData: the header (returns its size in bits, with
  // the length octet), then the text in the message's coding.
  unsigned ReadUserDataHeader();
  void Read7BitText(unsigned headerBits);
  void ReadUcs2Text();
  void Read8BitHex();  // 8-bit data as hex (Utf8 set)
  unsigned OctetAt(std::int32_t index) const;
  // The steps of Decode: the input's hex digits stored as octets (false when
  // there are none or their count is odd), the service centre, and the
  // fields of each message type after the first octet. Inline, and defined
  // beside Decode, their only caller: they cost no calls on the hot path.
  inline bool StoreOctets(std::string_view pduHex);
  inline bool ReadServiceCentre();
  inline bool ReadPidDcs();  // TP-PID and TP-DCS; false for a reserved coding
  inline void ReadDeliver();
  inline void ReadSubmit();
  inline void ReadStatusReport();
};

// Text of a TP-Status value (TS 23.040 9.2.3.15): base text and category.
std::string StatusReportText(std::uint8_t status);

// Text of a relative validity period octet (TS 23.040 9.2.3.12.1).
std::string ValidityPeriodText(std::uint8_t value);

}  // namespace pdulink
