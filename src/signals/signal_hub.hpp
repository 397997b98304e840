// SignalHub: the publishing face of a signal channel.
#pragma once

#include <memory>

#include "binding/object.hpp"
#include "signals/channel.hpp"

namespace morva {

PyTypeObject* signal_hub_type();
// A new hub holding a new publishing end of `channel` (the channel stays open while it lives).
Ref make_signal_hub(std::shared_ptr<SignalChannel> channel);

}  // namespace morva
