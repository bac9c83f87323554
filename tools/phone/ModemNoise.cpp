// The noisy phone: unsolicited lines held for the next command and written
// where they hurt most, between the command and its reply, inside a reply
// before or after its PDU line, or cut in two; and lines of plain noise
// (signal and indicator reports) at random commands.
#include "ModemParts.h"

namespace pdulink::phone {

void Modem::SetNoise(const Noise& noise) {
  noise_ = noise;
  noiseRng_.seed(noise.seed);
  if (!noise_.on) {
    // What was held goes out now, as a quiet phone would have sent it.
    auto held = std::move(noiseHeld_);
    noiseHeld_.clear();
    for (auto& text : held) Emit(OutputKind::Unsolicited, std::move(text));
  }
}

void Modem::PlaceNoise() {
  if (!noise_.on) return;
  std::vector<std::string> lines = std::move(noiseHeld_);
  noiseHeld_.clear();
  noiseHeldSince_ = -1;
  if (noise_.rate > 0 && static_cast<int>(noiseRng_() % 100) < noise_.rate) {
    static const char* kNoise[] = {"^RSSI: ", "+CIEV: 2,", "^MODE: 3,"};
    const auto pick = noiseRng_() % 3;
    lines.push_back("\r\n" + std::string(kNoise[pick]) + std::to_string(noiseRng_() % 5) + "\r\n");
  }
  for (std::string& text : lines) {
    // Each held text is one or more framed lines ("\r\n<line>\r\n").
    Noise::Place place = noise_.place;
    if (place == Noise::Place::Random) place = static_cast<Noise::Place>(noiseRng_() % 4);
    switch (place) {
      case Noise::Place::Between: Emit(OutputKind::Unsolicited, std::move(text)); break;
      case Noise::Place::Split: {
        // The cut falls inside the first line, after its leading CR LF.
        const std::size_t cut = std::min<std::size_t>(text.size() - 1, 2 + 3 + noiseRng_() % 3);
        Emit(OutputKind::Unsolicited, text.substr(0, cut));
        Emit(OutputKind::Reply, text.substr(cut));
        break;
      }
      case Noise::Place::BeforePdu:
      case Noise::Place::AfterPdu:
        noiseInside_.push_back(InsideLine{text, place == Noise::Place::BeforePdu});
        break;
      case Noise::Place::Random: break;
    }
  }
}

std::string Modem::WithNoiseInside(std::string reply) {
  if (noiseInside_.empty()) return reply;
  auto inside = std::move(noiseInside_);
  noiseInside_.clear();
  // Before the PDU: right after the first +CMGR/+CMGL header line; after it
  // (or in a reply without a PDU): before the final result.
  std::size_t header = reply.find("+CMGR:");
  if (header == std::string::npos) header = reply.find("+CMGL:");
  const std::size_t headerEnd = header == std::string::npos ? std::string::npos : reply.find("\r\n", header);
  std::size_t final = reply.rfind("\r\n", reply.size() >= 2 ? reply.size() - 3 : 0);
  if (final == std::string::npos || reply.empty()) final = 0;
  std::string before, after;
  for (const InsideLine& line : inside) {
    // Inside a reply a line needs no blank line of its own before it.
    std::string bare = line.text;
    while (!bare.empty() && (bare.front() == '\r' || bare.front() == '\n')) bare.erase(0, 1);
    if (line.beforePdu && headerEnd != std::string::npos)
      before += bare;
    else
      after += line.text;
  }
  if (!after.empty()) reply.insert(final, after);
  if (!before.empty()) reply.insert(headerEnd + 2, before);
  return reply;
}

}  // namespace pdulink::phone
