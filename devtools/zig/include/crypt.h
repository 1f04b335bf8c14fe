/* Python.h of CPython 3.8 to 3.10 includes <crypt.h> where the build machine of
   the interpreter had it; zig's glibc headers leave libcrypt out. Nothing here
   calls crypt(), so the zig wheel builds find this empty header instead. */
#pragma once
