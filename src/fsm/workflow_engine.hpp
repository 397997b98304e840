// WorkflowEngine: runs a YAML workflow with an executor callback, an operation limit and a
// tracked state machine (FSMState).
#pragma once

#include "binding/object.hpp"

namespace morva::fsm {

PyTypeObject* workflow_engine_type();

}  // namespace morva::fsm
