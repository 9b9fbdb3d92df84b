#include "broker/agent_pass_pins.hpp"

#include "core/procedure_error.hpp"
#include "platform/tls/pass_hash.hpp"

namespace vantor {

AgentPassPins::SlotPin& AgentPassPins::At(int slot) {
  if (slot < 1 || slot > kCustomerSlots) throw ProcedureError("Subscript out of range");
  return pins_[static_cast<std::size_t>(slot)];
}

const AgentPassPins::SlotPin& AgentPassPins::At(int slot) const {
  return const_cast<AgentPassPins*>(this)->At(slot);
}

void AgentPassPins::Load(int slot, const std::string& custID, std::string hash) {
  SlotPin& pin = At(slot);
  // The table does not hold our own pin yet: keep it rather than admit the next agent unpinned.
  const bool ownPinOnItsWay = hash.empty() && pin.custID == custID && storing_.count(custID) != 0;
  if (ownPinOnItsWay) return;
  pin = SlotPin{custID, std::move(hash)};
}

AgentPassPins::Verdict AgentPassPins::Check(int slot, std::string_view pass) const {
  if (!enabled_) return Verdict::kOff;
  const SlotPin& pin = At(slot);
  if (pin.hash.empty()) return Verdict::kUnpinned;
  return PassMatches(pass, pin.hash) ? Verdict::kMatches : Verdict::kMismatch;
}

void AgentPassPins::Pin(int slot, const std::string& custID, std::string hash) {
  At(slot) = SlotPin{custID, std::move(hash)};
  storing_.insert(custID);
}

}  // namespace vantor
