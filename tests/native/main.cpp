// GoogleTest entry point: an embedded interpreter for the cores that hold Python objects.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  int rc = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) rc = rc ? rc : 120;
  return rc;
}
