// FSMState: the five states of a workflow run, an enumeration class whose members are made
// with the class; the states the engine hands out are new instances every time.
#include "fsm/fsm_state.hpp"

#include "binding/enum_type.hpp"
#include "binding/type.hpp"

namespace morva::fsm {
namespace {

constexpr const char* kNames[] = {"Pending", "Running", "WaitingIO", "Complete", "Failed"};

constexpr EnumSpec kSpec{"morva_core.FSMState",
                         "FSM State for Workflow execution tracking.\n"
                         "Supports: Pending -> Running -> WaitingIO -> Complete/Failed",
                         kNames, 5};

PyTypeObject* build() { return build_enum_type(kSpec); }

}  // namespace

std::string_view fsm_name(FsmValue value) { return kNames[static_cast<int>(value)]; }

PyTypeObject* fsm_state_type() {
  return cached_type<build>();
}

Ref make_fsm_state(FsmValue value) {
  return make_enum_instance(fsm_state_type(), kSpec, static_cast<int>(value));
}

}  // namespace morva::fsm
