// SignalReceiver: one subscription to a signal channel.
#pragma once

#include <memory>

#include "binding/object.hpp"
#include "signals/channel.hpp"

namespace morva {

PyTypeObject* signal_receiver_type();
// A new receiver whose cursor starts after the newest message already published.
Ref make_signal_receiver(std::shared_ptr<SignalChannel> channel);

}  // namespace morva
