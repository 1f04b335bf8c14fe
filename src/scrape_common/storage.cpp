// Not built yet: its functions are not bound.
#include "subsystems.h"

namespace scrape {

int define_storage(PyObject*) { return 0; }

}  // namespace scrape
