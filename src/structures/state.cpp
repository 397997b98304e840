// State: versions derived by update() share unchanged map entries, the meta log and (through
// update() only) the signal channel; nothing about a State changes after it is built.
#include "structures/state.hpp"

#include <memory>
#include <string>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/stack_text.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"
#include "errors/exceptions.hpp"
#include "signals/channel.hpp"
#include "signals/signal_hub.hpp"
#include "structures/frozen_dict.hpp"
#include "structures/meta_log.hpp"
#include "structures/meta_log_entry.hpp"
#include "structures/persistent_map.hpp"

namespace morva {
namespace {

struct StateFields {
  StrMap data;
  StrMap heavy;
  // The publishing end held jointly by the versions that share the channel: the channel
  // stays open while any of them (or any hub taken from them) lives.
  std::shared_ptr<SignalSender> signals;
  std::shared_ptr<MetaLogBuffer> meta;
  uint64_t meta_capacity;
  uint64_t version;
};

StateFields& state_of(PyObject* self) { return fields<StateFields>(self); }

std::shared_ptr<SignalSender> new_channel() {
  return std::make_shared<SignalSender>(
      std::make_shared<SignalChannel>(SignalChannel::kRequestedRoom));
}

// Merges every item of `dict` into `map`, in the dict's order (one level: a value replaces
// the previous value of its key as a whole). Keys are stored as exact str; a str subclass
// key is stored as the plain str of the same text.
void merge_dict(StrMap& map, PyObject* dict) {
  CriticalSection section(dict);  // free-threaded: no other thread changes it meanwhile
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    Ref exact = exact_str(key);
    // Releasing a replaced value may run arbitrary code: safe here, as the map is whole again
    // and no Python code can reach it yet (a change to `dict` meanwhile is harmless too).
    if (std::optional<PyObject*> old = map.set(exact.get(), value)) Py_DECREF(*old);
  }
}

void merge_zone(StrMap& map, PyObject* arg) {
  if (arg != nullptr && arg != Py_None) merge_dict(map, as_dict(arg));
}

// Sends "key:" + the text of the value for every item of one signal dict. The items are
// taken first: producing a value's text runs Python code, which might change the dict.
void send_items(SignalSender& sender, PyObject* dict) {
  Ref items = Ref::checked(PyDict_Items(dict));
  std::string message;
  std::string scratch;
  for (Py_ssize_t i = 0, n = PyList_Size(items.get()); i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);
    PyObject* key = as_str(PyTuple_GetItem(pair, 0));
    Ref text = text_of(PyTuple_GetItem(pair, 1));
    message.assign(utf8_lossless(key, scratch));
    message.push_back(':');
    message.append(utf8_lossless(text.get(), scratch));
    sender.publish(message);
  }
}

// A list of dicts or one dict is broadcast item by item, each message at once; anything else
// is ignored.
void broadcast(SignalSender& sender, PyObject* signal) {
  if (PyList_Check(signal)) {
    // Indexing afresh each time: a value's str() may change the list under our feet.
    for (Py_ssize_t i = 0; i < PyList_Size(signal); ++i) {
      Ref item = list_get(signal, i);
      send_items(sender, as_dict(item.get()));
    }
  } else if (PyDict_Check(signal)) {
    send_items(sender, signal);
  }
}

using StateNew = Signature<"State.__new__", "data=None", "heavy=None", "signal=None", "version=1",
                           "meta_capacity=1000">;
using StateUpdate = Signature<"State.update", "data=None", "heavy=None", "signal=None">;
using StateLogMeta = Signature<"State.log_meta", "key", "message">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<StateNew>(args, kwargs);
  uint64_t version = a.convert_or<"version">(to_u64);
  uint64_t meta_capacity = a.convert_or<"meta_capacity">(to_u64);
  StrMap data(new_map_seed());
  StrMap heavy(new_map_seed());
  auto signals = new_channel();
  auto meta = std::make_shared<MetaLogBuffer>(meta_capacity);
  merge_zone(data, a.get<"data">());
  merge_zone(heavy, a.get<"heavy">());
  // The signal argument is accepted and ignored: a new lineage broadcasts nothing.
  return create<StateFields>(type, StateFields{std::move(data), std::move(heavy),
                                               std::move(signals), std::move(meta),
                                               meta_capacity, version})
      .release();
}

// The body of update(); nullptr stands for an argument not passed.
Ref updated(PyObject* self, PyObject* data, PyObject* heavy, PyObject* signal) {
  const StateFields& s = state_of(self);
  if (s.version == UINT64_MAX) {
    raise(PyExc_OverflowError,
          "State version 18446744073709551615 is the last one: update() cannot go past it");
  }
  StateFields next{s.data, s.heavy, s.signals, s.meta, s.meta_capacity, s.version + 1};
  // Logged before any argument is looked at: the entry stays even if the update fails.
  s.meta->append_state_update(next.version);
  merge_zone(next.data, data);
  merge_zone(next.heavy, heavy);
  if (signal != nullptr) broadcast(*s.signals, signal);
  return create<StateFields>(state_type(), std::move(next));
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<StateUpdate>(args, nargs, kwnames);
  return updated(self, a.get<"data">(), a.get<"heavy">(), a.get<"signal">()).release();
}

PyObject* restrict_view(PyObject* self, PyObject*) {
  const StateFields& s = state_of(self);
  StateFields view{s.data, s.heavy, new_channel(), s.meta, s.meta_capacity, s.version};
  return create<StateFields>(state_type(), std::move(view)).release();
}

PyObject* log_meta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<StateLogMeta>(args, nargs, kwnames);
  PyObject* key = a.convert<"key">(as_str);
  PyObject* message = a.convert<"message">(as_str);
  std::string key_scratch;
  std::string message_scratch;
  state_of(self).meta->append(utf8_lossless(key, key_scratch),
                              utf8_lossless(message, message_scratch));
  Py_RETURN_NONE;
}

PyObject* get_meta_logs(PyObject* self, PyObject*) {
  return meta_log_entries(*state_of(self).meta).release();
}

PyObject* get_version(PyObject* self, void*) {
  return check(PyLong_FromUnsignedLongLong(state_of(self).version));
}

// A new dict of the zone (keys and the stored objects themselves) in a new FrozenDict.
Ref zone_view(const StrMap& map) {
  Ref dict = Ref::checked(PyDict_New());
  map.for_each([&](PyObject* key, PyObject* value) { check(PyDict_SetItem(dict.get(), key, value)); });
  return make_frozen_dict(std::move(dict));
}

PyObject* get_data(PyObject* self, void*) { return zone_view(state_of(self).data).release(); }
PyObject* get_heavy(PyObject* self, void*) { return zone_view(state_of(self).heavy).release(); }

// One lookup in the data zone: a dict comes back as a view over that very dict.
PyObject* section(PyObject* self, PyObject* key) {
  PyObject* const* found = state_of(self).data.find(key);
  if (found == nullptr) Py_RETURN_NONE;
  if (PyDict_Check(*found)) return make_frozen_dict(Ref::borrow(*found)).release();
  return Py_NewRef(*found);
}

// The section names, interned once for the process (their hashes are then cached).
PyObject* get_domain(PyObject* self, void*) {
  static InternedStr key{"domain"};
  return section(self, key.get());
}
PyObject* get_global(PyObject* self, void*) {
  static InternedStr key{"global"};
  return section(self, key.get());
}

PyObject* get_signal(PyObject* self, void*) {
  return make_signal_hub(state_of(self).signals->channel()).release();
}

PyObject* get_meta(PyObject* self, void*) { return get_meta_logs(self, nullptr); }

int setattro(PyObject*, PyObject*, PyObject* value) {
  if (value == nullptr) refuse_attribute_delete();
  raise(context_error(), "State is Immutable. Use .update() to create a new version.");
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<update, StateUpdate>(),
      method<log_meta, StateLogMeta, "Log a system event to the Meta Zone Ring Buffer.">(),
      method_noargs<get_meta_logs, "get_meta_logs",
                    "Retrieve persistent meta logs (shared across state versions).">(),
      method_noargs<restrict_view, "restrict_view">(),
      end_methods(),
  };
  static PyGetSetDef props[] = {
      getter<get_version>("version"), getter<get_data>("data"),
      getter<get_heavy>("heavy"),     getter<get_domain>("domain"),
      getter<get_global>("global"),   getter<get_signal>("signal"),
      getter<get_meta>("meta"),       end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.State",
      .basicsize = sizeof(Box<StateFields>),
      .slots = join_slots(
          {
              doc_slot<StateNew, "Morva v3 Immutable State">(),
              slot<new_>(Py_tp_new),
              dealloc_slot<StateFields>(),
              slot<setattro>(Py_tp_setattro),
              raw_slot(Py_tp_methods, methods),
              raw_slot(Py_tp_getset, props),
          },
          attribute_first_slots<"version", get_version, state_type>()),
  });
}

}  // namespace

PyTypeObject* state_type() {
  return cached_type<build>();
}

uint64_t state_version(PyObject* state) { return state_of(state).version; }

Ref update_state(PyObject* state, PyObject* data, PyObject* heavy, PyObject* signal) {
  return updated(state, data, heavy, signal);
}

}  // namespace morva
