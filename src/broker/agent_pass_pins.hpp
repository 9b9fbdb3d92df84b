#pragma once
// The pinned agent pass of each customer slot and whether pinning is on. With pinning on, the
// first agent a customer admits pins its pass (a salted hash, platform/pass_hash.hpp), and from
// then on only an agent that gives the same pass is that customer's agent, until the operator
// unpins or re-pins it in the Customer table.
//
// The database is the source of truth: the broker loads the pins (Customer.AgentPassHash) and the
// switch (General_Settings.PinAgentPass) with the customer table at start and at each reload. A
// pin made here is on its way to the table until MarkStored(); a reload in that window keeps it
// rather than forget it for the empty column it reads.
//
// Memory: one hash text per slot (1 to kCustomerSlots) and one id per table write not yet done.
// Event thread only.

#include "core/tables.hpp"

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vantor {

class AgentPassPins {
 public:
  enum class Verdict {
    kOff,       // pinning is off: admit as without pins
    kUnpinned,  // pinning is on and the slot has no pin: admit and pin this pass
    kMatches,   // the pass is the pinned one
    kMismatch,  // the pass is not the pinned one: refuse before anything changes
  };

  void SetEnabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }

  // The pin of `slot` as the table holds it for `custID` (an empty hash: none). Slots out of
  // range throw ProcedureError, as the tables do.
  void Load(int slot, const std::string& custID, std::string hash);
  void Forget(int slot) { Load(slot, {}, {}); }

  // Costs one hash computation when the slot is pinned and pinning is on.
  Verdict Check(int slot, std::string_view pass) const;
  bool pinned(int slot) const { return !At(slot).hash.empty(); }

  // Pins a hash made for `custID` in `slot`, pending until MarkStored(custID).
  void Pin(int slot, const std::string& custID, std::string hash);
  // The table write of custID's pin is done (committed or given up).
  void MarkStored(const std::string& custID) { storing_.erase(custID); }

 private:
  struct SlotPin {
    std::string custID;
    std::string hash;
  };
  SlotPin& At(int slot);
  const SlotPin& At(int slot) const;

  bool enabled_ = false;
  std::array<SlotPin, kCustomerSlots + 1> pins_{};  // index 0 unused
  std::set<std::string> storing_;
};

}  // namespace vantor
