// The control commands, one handler each; Control.cpp holds their table.
#pragma once

#include "ControlRequest.h"

namespace pdulink::phone::control {

// Messages: delivering, reports, message references, the store.
void Deliver(Request& c);
void DeliverPdu(Request& c);
void StatusReport(Request& c);
void Reports(Request& c);
void NextMr(Request& c);
void Smsc(Request& c);
void Memories(Request& c);
void Capacity(Request& c);
void Dump(Request& c);
void Clear(Request& c);

// The device: calls, battery, radio, SIM, timing, faults, noise, identity
// and the line itself.
void Status(Request& c);
void NoiseCommand(Request& c);
void Ring(Request& c);
void RingStop(Request& c);
void RingInterval(Request& c);
void Battery(Request& c);
void Signal(Request& c);
void Sim(Request& c);
void Creg(Request& c);
void Latency(Request& c);
void Chunks(Request& c);
void Fail(Request& c);
void Unfail(Request& c);
void Faults(Request& c);
void Identity(Request& c);
void HangupLine(Request& c);
void Restart(Request& c);
void Replug(Request& c);
void Vanish(Request& c);

}  // namespace pdulink::phone::control
