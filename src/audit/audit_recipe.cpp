// AuditRecipe: four plain attributes, each settable with the constructor's conversions.
#include "audit/audit_recipe.hpp"

#include <atomic>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

using RecipeFields = RecipeValues;

// Each attribute is one word that a setter may change while another thread reads it (an
// AuditSystem copying the recipe): every access is a relaxed atomic one, a plain move on x86-64.
// A copy taken while another thread sets several attributes may mix old and new ones; each
// attribute is whole.
template <typename T>
T read(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <typename T>
void write(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// None stands for the default level.
AuditLevelValue level_or_default(PyObject* obj) {
  return obj == Py_None ? AuditLevelValue::Block : audit_level_of(obj);
}

using AuditRecipeNew = Signature<"AuditRecipe.__new__", "level=None", "threshold_max=3",
                                "threshold_min=0", "reset_on_success=True">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<AuditRecipeNew>(args, kwargs);
  RecipeValues v;
  v.level = a.convert_or<"level">(level_or_default, v.level);
  v.threshold_max = a.convert_or<"threshold_max">(to_u32, v.threshold_max);
  v.threshold_min = a.convert_or<"threshold_min">(to_u32, v.threshold_min);
  v.reset_on_success = a.convert_or<"reset_on_success">(to_bool, v.reset_on_success);
  return create<RecipeFields>(type, v).release();
}

// Attribute writes convert exactly as the constructor does (errors name the attribute), and
// the stored value changes only once the conversion succeeded.
template <auto Member, auto Convert>
int set_member(PyObject* self, PyObject* value, void* closure) {
  auto converted = convert_arg(static_cast<const char*>(closure), value, Convert);
  write(fields<RecipeFields>(self).*Member, converted);
  return 0;
}

template <auto Member>
PyObject* get_u32(PyObject* self, void*) {
  return check(PyLong_FromUnsignedLong(read(fields<RecipeFields>(self).*Member)));
}
PyObject* get_level(PyObject* self, void*) {
  return Ref::borrow(audit_level_member(read(fields<RecipeFields>(self).level))).release();
}
PyObject* get_reset(PyObject* self, void*) {
  return PyBool_FromLong(read(fields<RecipeFields>(self).reset_on_success));
}

template <Getter G, Setter S>
PyGetSetDef attribute(const char* name) {
  PyGetSetDef def = getset<G, S>(name);
  def.closure = const_cast<char*>(name);  // the name used in conversion errors
  return def;
}

PyTypeObject* build() {
  using V = RecipeValues;
  static PyGetSetDef props[] = {
      attribute<get_u32<&V::threshold_max>, set_member<&V::threshold_max, to_u32>>(
          "threshold_max"),
      attribute<get_u32<&V::threshold_min>, set_member<&V::threshold_min, to_u32>>(
          "threshold_min"),
      attribute<get_level, set_member<&V::level, level_or_default>>("level"),
      attribute<get_reset, set_member<&V::reset_on_success, to_bool>>("reset_on_success"),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.AuditRecipe",
      .basicsize = sizeof(Box<RecipeFields>),
      .slots = {
          doc_slot<AuditRecipeNew>(),
          slot<new_>(Py_tp_new),
          dealloc_slot<RecipeFields>(),
          raw_slot(Py_tp_getset, props),
      },
  });
}

}  // namespace

PyTypeObject* audit_recipe_type() {
  return cached_type<build>();
}

RecipeValues recipe_values(PyObject* obj) {
  RecipeFields& f = fields<RecipeFields>(obj);
  RecipeValues copy;
  copy.level = read(f.level);
  copy.threshold_max = read(f.threshold_max);
  copy.threshold_min = read(f.threshold_min);
  copy.reset_on_success = read(f.reset_on_success);
  return copy;
}

}  // namespace morva
