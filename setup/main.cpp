// setup.exe: the entry routine with its UTF-16 arguments.
#include "setup/drv_pnp.h"

int wmain(int argc, wchar_t** argv) {
  return SetupMain(argc, argv);
}
