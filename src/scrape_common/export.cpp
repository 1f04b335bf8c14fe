// Not built yet: its functions are not bound.
#include "subsystems.h"

namespace scrape {

int define_export(PyObject*) { return 0; }

}  // namespace scrape
