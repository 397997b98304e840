// ConfigLoader.load_from_string: reads the text as one YAML document into the schema records
// and reports the first problem as SchemaViolationError "Config Error: ...".
#include "config/config_loader.hpp"

#include <exception>
#include <optional>
#include <string>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "config/schema_records.hpp"
#include "errors/exceptions.hpp"
#include "yaml/document.hpp"

namespace morva {
namespace {

// The text as UTF-8. Lone surrogates are kept (surrogatepass) so that they reach the YAML
// reader, which rejects them with a position, instead of failing the call with an encoding
// error that is not a schema problem.
Ref utf8_bytes(PyObject* text) {
  return Ref::checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
}

// The description of the first problem (with its position), or nothing for a valid schema.
// Pure C++ over a private copy of the text, so it runs without the GIL. Any other failure
// (std::bad_alloc) is held until the GIL is back: taking it back may end the thread at exit,
// and that unwinding must not start while another exception is in flight (terminate).
std::optional<std::string> first_problem(const char* data, std::size_t size) {
  std::optional<std::string> problem;
  std::exception_ptr failure;
  {
    AllowThreads unlocked;
    try {
      config::read_root_config(yaml::read_document(std::string_view(data, size)));
    } catch (const yaml::Error& e) {
      problem = e.what();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return problem;
}

using ConfigLoaderLoadFromString = Signature<"ConfigLoader.load_from_string", "content">;

PyObject* load_from_string(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  auto a = parse<ConfigLoaderLoadFromString>(args, nargs, kwnames);
  Ref bytes = utf8_bytes(a.convert<"content">(as_str));
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
  std::optional<std::string> problem = first_problem(data, static_cast<std::size_t>(size));
  if (problem) raise(schema_violation_error(), "Config Error: " + *problem);
  Py_RETURN_NONE;
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      static_method<load_from_string, ConfigLoaderLoadFromString>(),
      end_methods(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.ConfigLoader",
      .basicsize = sizeof(PyObject),
      .slots = {
          no_constructor_slot(),
          raw_slot(Py_tp_methods, methods),
      },
  });
}

}  // namespace

PyTypeObject* config_loader_type() {
  return cached_type<build>();
}

}  // namespace morva
