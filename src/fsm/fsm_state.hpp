// FSMState: the five states of a workflow run as a small Python enumeration class.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/object.hpp"

namespace morva::fsm {

enum class FsmValue : uint8_t { Pending = 0, Running = 1, WaitingIO = 2, Complete = 3, Failed = 4 };

// "Pending", "Running", ... (the debug name, also the class attribute name).
std::string_view fsm_name(FsmValue value);

PyTypeObject* fsm_state_type();
// A new FSMState instance (states handed out are never shared objects).
Ref make_fsm_state(FsmValue value);

}  // namespace morva::fsm
