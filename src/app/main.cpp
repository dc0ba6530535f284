#include "app/entry.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  KeepCommandLine(argc, argv);
  RunProcess();
}
