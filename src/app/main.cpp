#include "app/entry.h"

int main() { RunProcess(); }
